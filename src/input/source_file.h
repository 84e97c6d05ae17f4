#pragma once
// Loads one source file whole into memory.
//
// A path that cannot be opened, is not a regular file (directory, device,
// pipe) or is too large to hold in memory leaves the text empty; nothing is
// reported. The text stops before the file's first NUL byte, which the
// scanner uses as its end marker.

#include <fstream>
#include <string>

class zor_source_file : public std::fstream {
public:
    explicit zor_source_file(std::string path);

    /// A copy of the loaded text; empty when the file could not be read.
    std::string get_text() const;

private:
    void load(const std::string& path);

    std::string text;
};
