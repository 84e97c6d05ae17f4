#pragma once
// The page file: PATH.html beside the source PATH, replaced whole by a new
// file once that is complete and dated, or written in place where the
// folder would refuse the new file for want of permission or for its
// attributes; dated so that a page newer than its source is a page of the
// source as it now is. The manual's FILES section states every case.

#include <optional>
#include <ostream>
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

    /// Ends the page: complete and dated, it is put in place; otherwise the
    /// previous page stays (written in place, it is dated at the epoch).
    void commit();

private:
    enum class way { none, replacing, in_place };
    way chosen_way() const;
    platform::file_time page_date() const;

    const std::string source_path;
    const platform::folder folder;
    const std::string name;
    const platform::file_identity source_read;
    const platform::file_time read_at;
    platform::entry previous;  // what stood at the page's name
    way chosen = way::none;
    std::optional<platform::page_output> file;
    std::ostream out{nullptr};
};
