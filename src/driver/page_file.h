#pragma once
// The page file, written whole or not at all.
//
// The page goes into a new file in the page's folder, which replaces the
// page by one rename once it is complete, dated and closed; until then the
// previous page stays exactly as it was, and a new file that is not
// committed is removed, also when an ending signal ends the run. The new
// page keeps the previous one's owner and group where the process may set
// them, and its permission bits but for set-user-ID, set-group-ID and
// sticky. Whatever else stands at the page's name (a link, a FIFO, a device)
// is replaced, never written through or waited on; a directory there means
// no page. Where the folder takes no new file, or would refuse the rename
// (a sticky folder and another user's page), a page that is a writable
// regular file is written in place instead.
//
// The page is dated with the moment its source was read, so that a page
// newer than its source is a page of the source as it now is; only a page
// written in place into another user's file keeps the time of its writing.

#include <chrono>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/platform.h"

class zor_page_file {
public:
    zor_page_file(const std::string& page_path, std::chrono::system_clock::time_point source_read_at);
    ~zor_page_file();
    zor_page_file(const zor_page_file&) = delete;
    zor_page_file& operator=(const zor_page_file&) = delete;

    bool is_open() const { return buffer.file >= 0; }

    /// Where the page is written while the file is open.
    std::ostream& stream() { return out; }

    /// Flushes, dates and closes the file and puts it in the page's place; if
    /// any of it fails, the previous page stays untouched.
    void commit();

private:
    // Passes every write straight to the file: the reports write whole
    // blocks, and nothing else writes to it.
    class file_buffer : public std::streambuf {
    public:
        int file = -1;

    protected:
        std::streamsize xsputn(const char* data, std::streamsize size) override;
    };

    void create_temporary(int permissions);
    void write_in_place_from_temporary();
    void discard_temporary();

    platform::folder folder;
    std::string name;
    platform::entry previous;  // what stood at the page's name
    std::chrono::system_clock::time_point modified_at;
    std::string temporary;  // empty when the page is written in place
    file_buffer buffer;
    std::ostream out{&buffer};
};
