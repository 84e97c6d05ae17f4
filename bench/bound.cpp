// The least a run of quarnel's design costs, as near as plain tight loops
// get: the same listing and page, byte for byte, from the same memory (the
// text and a copy of it, with the same hint for large pages, a 32-byte token
// object with a vtable pointer per token, packed into 1 MiB blocks, and a
// list of pointers to them), the page written to a new file and renamed. It
// lexes with pointers over the copy and formats without streams, and leaves
// out everything that keeps quarnel's page safe. Timed beside quarnel
// (bench.py build-release/quarnel --baseline build-release/quarnel_bound,
// built with -DQUARNEL_BENCH=ON), it shows how much of a run the design
// itself takes. Linux only.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "lexer/symbol_kinds.h"
#include "report/labels.h"

namespace {

struct token {
    virtual void read() {}
    std::int32_t type, kind;
    std::string_view text;
};
static_assert(sizeof(token) == 32, "as large as quarnel's tokens");

unsigned char class_of[256];  // 1 letter, 2 digit, 3 quote, 6 symbol, 0 the end, 7 other

// With room past the end, so that a short token's text can be copied as 16 bytes.
char* large_text(std::size_t size) {
    auto* text = static_cast<char*>(std::malloc(size + 16));
    constexpr std::uintptr_t large_page = 1 << 21;
    const std::uintptr_t start =
        (reinterpret_cast<std::uintptr_t>(text) + large_page - 1) & ~(large_page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(text) + size + 1) & ~(large_page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    return text;
}

class output {
public:
    explicit output(int file) : file(file) {}
    ~output() { flush(); }
    [[gnu::noinline]] void flush() {
        for (std::size_t done = 0; done < used;)
            done += static_cast<std::size_t>(write(file, block + done, used - done));
        used = 0;
    }
    char* room(std::size_t size) {  // a token's text, escaped, is at most four times its size
        if (used + size + 128 > sizeof block) make_room(size);
        return block + used;
    }
    void done(char* end) { used = static_cast<std::size_t>(end - block); }

private:
    [[gnu::noinline]] void make_room(std::size_t size) {
        flush();
        if (size + 128 > sizeof block) std::abort();  // no token this large in the corpus
    }

    int file;
    std::size_t used = 0;
    char block[1 << 18];
};

struct counter {  // the decimal digits of 0, 1, 2, ...
    char digits[24] = "0";
    std::size_t size = 1;
    [[gnu::always_inline]] char* put(char* end) {
        std::memcpy(end, digits, 8);
        if (size > 8) std::memcpy(end + 8, digits + 8, 16);
        end += size;
        std::size_t last = size;
        while (digits[last - 1] == '9') {
            digits[--last] = '0';
            if (last == 0) {
                std::memmove(digits + 1, digits, size++);
                digits[0] = '0';
                last = 1;
                break;
            }
        }
        ++digits[last - 1];
        return end;
    }
};

template <std::size_t size>
char* put(char* end, const char (&literal)[size]) {
    std::memcpy(end, literal, size - 1);
    return end + size - 1;
}
// A text of either copy has 16 bytes to read past its end.
[[gnu::always_inline]] inline char* put(char* end, std::string_view text) {
    std::memcpy(end, text.data(), 16);
    if (text.size() > 16) std::memcpy(end + 16, text.data() + 16, text.size() - 16);
    return end + text.size();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3 || std::strcmp(argv[1], "-c") != 0) return 0;
    const std::string path = argv[2];
    struct stat status {};
    const int source = open(path.c_str(), O_RDONLY);
    if (source < 0 || fstat(source, &status) != 0) return 1;
    const auto size = static_cast<std::size_t>(status.st_size);
    char* text = large_text(size);
    std::size_t got = 0;
    for (long part; got < size && (part = read(source, text + got, size - got)) > 0;)
        got += static_cast<std::size_t>(part);
    close(source);
    text[got] = '\0';
    const std::size_t length = std::strlen(text);
    char* copy = large_text(length);
    std::memcpy(copy, text, length + 1);

    std::memset(class_of, 7, sizeof class_of);
    class_of[0] = 0;
    for (int c = 'a'; c <= 'z'; ++c) class_of[c] = class_of[c - 'a' + 'A'] = 1;
    for (int c = '0'; c <= '9'; ++c) class_of[c] = 2;
    for (const char* s = "!#%&()*+,-./:;<=>[]^{|}"; *s != '\0'; ++s)
        class_of[static_cast<unsigned char>(*s)] = 6;
    class_of[unsigned{'"'}] = class_of[unsigned{'\''}] = 3;
    class_of[unsigned{'_'}] = 1;
    std::int32_t single_kind[128] = {}, pair_kind[128][256] = {};
    for (const auto& [kind, symbol] : zor_symbol_kinds)
        (symbol[1] ? pair_kind[int(symbol[0])][int(symbol[1])] : single_kind[int(symbol[0])]) = kind;

    // Room for a token a byte, of which only what is used is ever touched.
    auto** list = static_cast<token**>(std::malloc((length + 1) * sizeof(token*)));
    std::size_t count = 0, left = 0;
    unsigned char* block = nullptr;
    for (const char* p = copy;;) {
        const auto c = static_cast<unsigned char>(*p);
        const int cls = class_of[c];
        if (cls == 0) break;
        const char* start = p++;
        if (cls == 7) continue;
        std::int32_t type = type_symbol, kind = 0;
        const char* end;
        if (cls == 1) {
            while (class_of[static_cast<unsigned char>(*p)] - 1u < 2u) ++p;
            type = type_word;
            end = p;
        } else if (cls == 2) {
            while (class_of[static_cast<unsigned char>(*p)] == 2) ++p;
            type = type_number;
            end = p;
        } else if (cls == 3) {
            for (char x; (x = *p) != '\0';) {
                ++p;
                if ((x == '"' || x == '\'') && *p != '\\') break;
            }
            type = type_string;
            end = p;
        } else if (c == '/' && (*p == '*' || *p == '/')) {
            const bool block_comment = *p++ == '*';
            start = p;
            while (*p != '\0' && (block_comment ? !(*p == '*' && p[1] == '/') : *p != '\n')) ++p;
            type = type_comment;
            end = p;
            if (*p != '\0') p += block_comment ? 2 : 1;
        } else {
            kind = single_kind[c];
            if (const std::int32_t pair = pair_kind[c][static_cast<unsigned char>(*p)]) {
                kind = pair;
                ++p;
            }
            end = p;
        }
        if (left < sizeof(token)) block = static_cast<unsigned char*>(std::malloc(left = 1 << 20));
        auto* made = new (block) token;
        block += sizeof(token);
        left -= sizeof(token);
        made->type = type;
        made->kind = kind;
        made->text = std::string_view(start, static_cast<std::size_t>(end - start));
        list[count++] = made;
    }

    {
        output out(1);
        counter number;
        for (std::size_t i = 0; i < count; ++i) {
            const token& t = *list[i];
            char* end = out.room(t.text.size());
            end = put(number.put(put(end, "(")), " : ");
            end = put(put(put(end, labels_of(t.type).console), " ) ->"), t.text);
            out.done(put(end, "\n"));
        }
    }
    const std::string page = path + ".html", temporary = path + ".html.new";
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    {
        output out(file);
        char* end = out.room(0);
        end = put(end, "<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE>");
        end = put(end, " <center>quarnel results: <br><TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>");
        out.done(end);
        counter number;
        for (std::size_t i = 0; i < count; ++i) {
            const token& t = *list[i];
            end = number.put(put(out.room(4 * t.text.size()), "<TH>"));
            end = put(end, "<TH>");
            if (t.type == type_word || t.type == type_number) {
                end = put(end, t.text);
            } else {
                for (const char x : t.text) {
                    if (x == '<')
                        end = put(end, "&lt;");
                    else if (x == '>')
                        end = put(end, "&gt;");
                    else
                        *end++ = x;
                }
            }
            out.done(put(put(put(end, "<TH>"), labels_of(t.type).html), "<TR>"));
        }
        out.done(put(put(out.room(0), "</TABLE></center>"), "</PRE></BODY></HTML>"));
    }
    close(file);
    rename(temporary.c_str(), page.c_str());
}
