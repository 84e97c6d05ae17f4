#pragma once
// The page file, written whole or not at all.
//
// The page goes into a new file in the page's directory, which replaces the
// page by one rename once it is complete and closed; until then the previous
// page stays exactly as it was, and a new file that is not committed is
// removed, also when SIGINT, SIGTERM or SIGHUP ends the run. Whatever stands
// at the page's name (a link, a FIFO, a device) is replaced, never written
// through or waited on; a directory there means no page. Where the
// directory takes no new file but the page is a writable regular file, the
// page is written in place instead.

#include <ostream>
#include <streambuf>
#include <string>

class zor_page_file {
public:
    explicit zor_page_file(std::string page_path);
    ~zor_page_file();
    zor_page_file(const zor_page_file&) = delete;
    zor_page_file& operator=(const zor_page_file&) = delete;

    bool is_open() const { return buffer.file >= 0; }

    /// Where the page is written while the file is open.
    std::ostream& stream() { return out; }

    /// Flushes and closes the file and puts it in the page's place; if any of
    /// it fails, the previous page stays untouched.
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

    bool create_temporary(int permissions);
    void forget_temporary();   // no longer ours to remove
    void discard_temporary();  // removed, and forgotten

    std::string page;
    std::string temporary;  // empty when the page is written in place
    file_buffer buffer;
    std::ostream out{&buffer};
};
