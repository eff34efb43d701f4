#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace zenta::cli {

// A line that the next one replaces, on a terminal only.
class ProgressLine {
  public:
    ProgressLine();
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    void Show(const std::string& text);
    // Before a message of its own: the progress line goes.
    void Clear();
    bool tty() const { return tty_; }

  private:
    bool tty_;
    size_t shown_ = 0;
};

// A long job's words for the person: a progress line (replaced in place) or a line kept.
std::function<void(const std::string& line, bool progress)> SayOn(ProgressLine& progress);

// "Label:             value", the labels in one column.
void Line(const std::string& label, const std::string& value);
// A step of a long job, on a line of its own.
void Progress(const std::string& line);
// "12.0 MB" or "512 KB" of a byte count.
std::string HumanBytes(long long bytes);
// "1.5 GB", "12.0 MB" of a byte count.
std::string Size(long long bytes);
// "3 h ago", "2 days ago" since a stamp "yyyy-mm-dd hh:nn:ss" of this computer's clock.
std::string Age(const std::string& stamp);

// Text broken into lines of at most `width` characters (--help's second column).
std::string Wrapped(const std::string& text, size_t width = 64);

} // namespace zenta::cli
