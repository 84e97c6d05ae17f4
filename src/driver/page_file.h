#pragma once
// The page file, written whole or not at all.
//
// The page goes into a new file in the page's folder, which takes the
// page's place in one rename once it is complete and dated; until then the
// previous page stays exactly as it was, and a new file that does not take
// its place is removed, also when an ending signal ends the run (on Linux
// it has no name until the rename, so that even SIGKILL leaves nothing).
// The new page keeps the previous one's owner and group where the process
// may set them, its ACL, and its permission bits but for set-user-ID,
// set-group-ID and sticky; where the ACL cannot be kept, the owner's bits
// alone. Whatever else stands at the page's name (a link, a FIFO, a
// device) is replaced, never written through or waited on. A directory
// there, an immutable or append-only page, or a name that cannot be looked
// at means no page.
//
// Where a new file could not take the page's place (the folder takes no
// new file, is append-only or immutable, or is sticky and the page another
// user's), a page that is a writable regular file is written in place
// instead; it is dated at the epoch until it is complete, so that it never
// looks newer than its source unfinished.
//
// The page is dated with the moment its source was read, so that a page
// newer than its source is a page of the source as it now is; if by then
// the source's path names another file (saved by a rename during the run),
// just before that file's date instead, or at the epoch if there is none.
// Only a page written in place into another user's file keeps the time of
// its writing.

#include <optional>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/platform.h"

class zor_page_file {
public:
    /// Opens the folder of source_path's page and notes which file
    /// source_path names, and when: made just before the source is read.
    explicit zor_page_file(const std::string& source_path);
    zor_page_file(const zor_page_file&) = delete;
    zor_page_file& operator=(const zor_page_file&) = delete;

    /// Looks at what stands at the page's name and opens the file that the
    /// page is written to; false where no page can be written.
    bool open();

    /// Where the page is written while the file is open.
    std::ostream& stream() { return out; }

    /// Flushes and dates the page and puts it in place; if any of it fails,
    /// the previous page stays as it was (written in place, it is dated at
    /// the epoch instead).
    void commit();

private:
    enum class way { none, replacing, in_place };
    way chosen_way() const;
    platform::file_time page_date() const;

    // Passes every write straight to the file: the reports write whole
    // blocks, and nothing else writes to it.
    class file_buffer : public std::streambuf {
    public:
        int file = -1;

    protected:
        std::streamsize xsputn(const char* data, std::streamsize size) override;
    };

    const std::string source_path;
    const platform::folder folder;
    const std::string name;
    const platform::file_identity source_read;
    const platform::file_time read_at;
    platform::entry previous;  // what stood at the page's name
    std::optional<platform::new_file> replacement;
    std::optional<platform::file_in_place> in_place;
    file_buffer buffer;
    std::ostream out{&buffer};
};
