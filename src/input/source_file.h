#pragma once
// Loads one source file whole into memory.
//
// A path that cannot be opened or is not a regular file (directory, device,
// pipe) leaves the text empty; nothing is reported. A file that opened but
// could not be read through (a read or seek error) throws ios_base::failure,
// and one too large to hold in memory bad_alloc: its text is not empty, only
// out of reach. The text stops before the file's first NUL byte, which the
// scanner uses as its end marker.

#include <fstream>
#include <string>

class zor_source_file : public std::fstream {
public:
    explicit zor_source_file(std::string path);

    /// A copy of the loaded text; empty when the file could not be opened.
    /// Throws bad_alloc where memory is too short for the copy.
    std::string get_text() const;

private:
    void load(const std::string& path);

    std::string text;
};
