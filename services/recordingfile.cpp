#include "recordingfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace cvi::recording {
namespace {

constexpr std::size_t kReadBytes = 64 * 1024;  // the fixed working buffer
constexpr std::size_t kMaxNameChars = 100;     // of a file name in a message
constexpr std::size_t kMaxColumnNameChars = 24;

const char* trimStart(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

const char* trimEnd(const char* begin, const char* e) {
    while (e > begin && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r')) --e;
    return e;
}

std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string hex(unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    return std::string{digits[c >> 4], digits[c & 15]};
}

// The same text, cut to at most kMaxErrorChars.
std::string bounded(std::string s) {
    if (s.size() > kMaxErrorChars) s = s.substr(0, kMaxErrorChars - 3) + "...";
    return s;
}

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int descriptor() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string shownName(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c == '\\') out += "\\\\";
        else if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
        else out += "\\x" + hex(c);
    }
    if (out.size() > kMaxNameChars) {
        const std::size_t keep = (kMaxNameChars - 3) / 2;
        out = out.substr(0, keep) + "..." + out.substr(out.size() - keep);
    }
    return out;
}

std::string quotedExcerpt(const char* begin, const char* end, std::size_t limit) {
    std::string out = "\"";
    std::size_t shown = 0;
    const char* p = begin;
    for (; p < end && shown < limit; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        std::string piece;
        switch (c) {
            case '"': piece = "\\\""; break;
            case '\\': piece = "\\\\"; break;
            case '\n': piece = "\\n"; break;
            case '\r': piece = "\\r"; break;
            case '\t': piece = "\\t"; break;
            default:
                piece = c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : "\\u00" + hex(c);
        }
        out += piece;
        shown += piece.size();
    }
    if (p < end) out += "...";
    return out + "\"";
}

Parser::Parser(std::string file, std::size_t sizeHint) : r_(std::make_unique<Recording>()), sizeHint_(sizeHint) {
    r_->file = std::move(file);
}

bool Parser::fail(long column, const std::string& what) {
    std::string where = shownName(r_->file) + ": line " + std::to_string(line_);
    if (column > 0) where += ", column " + std::to_string(column);
    if (column > 1 && column <= static_cast<long>(names_.size()))
        where += " (" + names_[static_cast<std::size_t>(column - 1)] + ")";
    error_ = bounded(where + ": " + what);
    failed_ = true;
    return false;
}

bool Parser::feed(const char* data, std::size_t size) {
    if (failed_) return false;
    const char* p = data;
    const char* const end = data + size;
    while (p < end) {
        const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        const char* nl = found ? static_cast<const char*>(found) : end;
        const std::size_t piece = static_cast<std::size_t>(nl - p);
        if (pending_.size() + piece > kMaxLineBytes) {
            ++line_;
            return fail(0, "longer than " + std::to_string(kMaxLineBytes) + " bytes");
        }
        if (!found) {
            pending_.append(p, piece);  // the rest of this line comes with the next piece
            return true;
        }
        if (pending_.empty()) {
            if (!takeLine(p, nl)) return false;
        } else {
            pending_.append(p, piece);
            const std::string whole = std::move(pending_);
            pending_.clear();
            if (!takeLine(whole.data(), whole.data() + whole.size())) return false;
        }
        p = nl + 1;
    }
    return true;
}

bool Parser::takeLine(const char* begin, const char* end) {
    ++line_;
    if (line_ == 1) return header(begin, end);
    if (trimStart(begin, trimEnd(begin, end)) == trimEnd(begin, end)) return true;  // a blank line
    return row(begin, end);
}

bool Parser::header(const char* begin, const char* end) {
    if (end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;
    std::vector<std::pair<const char*, const char*>> fields;
    for (const char* f = begin;;) {
        const char* fe = std::find(f, end, ',');
        const char* b = trimStart(f, fe);
        fields.emplace_back(b, trimEnd(b, fe));
        if (fields.size() > static_cast<std::size_t>(kMaxColumns) + 1)
            return fail(0, "more than " + std::to_string(kMaxColumns) +
                               " coordinate columns: no model's frame has more");
        if (fe == end) break;
        f = fe + 1;
    }
    const auto [b0, e0] = fields[0];
    if (std::string(b0, e0) != "time_ms")
        return fail(1, "the first column must be time_ms, not " + quotedExcerpt(b0, e0));
    if (fields.size() < 2) return fail(2, "no coordinate columns after time_ms");
    for (const auto& [b, e] : fields) {
        const std::string q = quotedExcerpt(b, e, kMaxColumnNameChars);
        names_.push_back(q.substr(1, q.size() - 2));
    }
    r_->columns = static_cast<int>(fields.size()) - 1;
    if (sizeHint_ > 0) {
        // Each row takes at least one byte and a separator per field.
        const std::size_t fit = std::min(kMaxRows, sizeHint_ / (2 * fields.size()) + 1);
        r_->times.reserve(fit);
        r_->values.reserve(fit * static_cast<std::size_t>(r_->columns));
    }
    return true;
}

bool Parser::row(const char* begin, const char* end) {
    Recording& r = *r_;
    if (r.times.size() >= kMaxRows)
        return fail(0, "more than " + std::to_string(kMaxRows) +
                           " data rows: the longest window of any model (180 s at 10 kHz) has no more samples");
    const std::size_t fields = names_.size();
    long column = 0;
    for (const char* f = begin;;) {
        const char* fe = static_cast<const char*>(std::memchr(f, ',', static_cast<std::size_t>(end - f)));
        if (!fe) fe = end;
        ++column;
        const char* b = trimStart(f, fe);
        const char* e = trimEnd(b, fe);
        if (column > static_cast<long>(fields))
            return fail(column, "one column too many: the header has " + std::to_string(fields));
        if (column == 1) {
            double t = 0;
            const auto [at, ec] = std::from_chars(b, e, t);
            if (ec != std::errc() || at != e || b == e || !std::isfinite(t))
                return fail(column, "bad time " + quotedExcerpt(b, e) + ": expected milliseconds such as -1.5");
            if (!r.times.empty() && t <= r.times.back())
                return fail(column, "time " + number(t) + " does not rise (the row before has " +
                                        number(r.times.back()) + ")");
            r.times.push_back(t);
        } else {
            unsigned long long v = 0;
            const auto [at, ec] = std::from_chars(b, e, v);
            const char* digits = b < e && *b == '-' ? b + 1 : b;
            const bool integer = digits < e && std::all_of(digits, e, [](char ch) { return ch >= '0' && ch <= '9'; });
            if (integer && (digits != b || ec == std::errc::result_out_of_range || v > 65535))
                return fail(column, "value " + quotedExcerpt(b, e) + " is out of range 0 to 65535");
            if (!integer || ec != std::errc() || at != e)
                return fail(column, "bad number " + quotedExcerpt(b, e) + ": expected an integer from 0 to 65535");
            r.values.push_back(static_cast<std::uint16_t>(v));
        }
        if (fe == end) break;
        f = fe + 1;
    }
    if (column < static_cast<long>(fields))
        return fail(column + 1, "missing: the header has " + std::to_string(fields) + " columns");
    return true;
}

std::unique_ptr<Recording> Parser::finish() {
    if (failed_) return nullptr;
    if (!pending_.empty() || line_ == 0) {
        const std::string last = std::move(pending_);
        pending_.clear();
        if (!takeLine(last.data(), last.data() + last.size())) return nullptr;
    }
    if (r_->times.empty()) {
        line_ = 2;
        fail(0, "no data rows after the header");
        return nullptr;
    }
    return std::move(r_);
}

std::unique_ptr<Recording> parseText(const char* text, std::size_t size, const std::string& file, std::string* error) {
    Parser p(file, size);
    if (p.feed(text, size))
        if (auto r = p.finish()) return r;
    *error = p.error();
    return nullptr;
}

std::unique_ptr<Recording> parse(const std::string& path, std::string* error,
                                 const std::function<bool(std::size_t)>& goOn) {
    const std::string name = shownName(path);
    const auto refuse = [&](const std::string& why) {
        *error = bounded(why);
        return nullptr;
    };
    // The kind is known before anything is opened: opening a device may do
    // something, and opening a FIFO waits for a writer.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) return refuse("cannot open " + name + ": " + std::strerror(errno));
    if (!S_ISREG(before.st_mode)) return refuse(name + ": not a regular file: " + kindOf(before.st_mode));
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.descriptor() < 0) return refuse("cannot open " + name + ": " + std::strerror(errno));
    struct stat at {};
    if (::fstat(fd.descriptor(), &at) != 0) return refuse("cannot read " + name + ": " + std::strerror(errno));
    if (!S_ISREG(at.st_mode)) return refuse(name + ": not a regular file: " + kindOf(at.st_mode));
    const auto size = static_cast<std::size_t>(at.st_size);
    if (size > (kMaxRows + 1) * kMaxLineBytes)
        return refuse(name + ": " + std::to_string(size) + " bytes: larger than any recording a model can use");

    // A file of the /proc kind says 0 and has text: what is read counts.
    const auto changed = [&](std::size_t read) {
        return refuse(name + ": the file changed while it was read (" + std::to_string(read) + " of " +
                      std::to_string(size) + " bytes read)");
    };
    Parser parser(path, size);
    std::unique_ptr<char[]> buffer(new char[kReadBytes]);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.descriptor(), buffer.get(), kReadBytes);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        if (size > 0 && total > size) return changed(total);
        if (!parser.feed(buffer.get(), static_cast<std::size_t>(n))) return refuse(parser.error());
        if (goOn && !goOn(total)) return refuse(name + ": the load was stopped");
    }
    struct stat after {};
    if ((size > 0 && total != size) || ::fstat(fd.descriptor(), &after) != 0 || !sameFile(at, after)) return changed(total);
    if (total == 0) return refuse(name + ": the file is empty");
    auto r = parser.finish();
    if (!r) return refuse(parser.error());
    return r;
}

bool sample(const Recording& r, long long tenths, int count, std::uint16_t* words, std::size_t* cursor) {
    const std::size_t n = r.rows();
    if (count != r.columns || n == 0) return false;
    const auto columns = static_cast<std::size_t>(count);
    const double t = static_cast<double>(tenths) / 10.0;
    const std::vector<double>& times = r.times;
    const std::uint16_t* v = r.values.data();
    if (t <= times.front() || t >= times.back()) {
        std::memcpy(words, t <= times.front() ? v : v + (n - 1) * columns, columns * sizeof *words);
        return true;
    }
    std::size_t k = *cursor;
    if (k + 1 >= n || times[k] > t)
        k = static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
    else
        while (times[k + 1] <= t) ++k;
    *cursor = k;
    const std::uint16_t* a = v + k * columns;
    const double f = (t - times[k]) / (times[k + 1] - times[k]);
    if (f == 0.0) {
        std::memcpy(words, a, columns * sizeof *words);
        return true;
    }
    const std::uint16_t* b = a + columns;
    // Between two values of 0..65535, so never negative: truncating x + 0.5 rounds to nearest.
    for (std::size_t j = 0; j < columns; ++j)
        words[j] = static_cast<std::uint16_t>(a[j] + (static_cast<double>(b[j]) - a[j]) * f + 0.5);
    return true;
}

}  // namespace cvi::recording
