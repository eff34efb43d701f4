#pragma once

#include <optional>
#include <string>
#include <utility>

namespace zenta {

// A value, or the reason there is none, in one return value (as cpr's responses and C++23's
// std::expected carry theirs): for the program's own functions that can fail with something
// to say. The suite's procedures keep their changed arguments.
template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    static Result Failure(std::string why) {
        Result r;
        r.error_ = std::move(why);
        return r;
    }
    explicit operator bool() const { return value_.has_value(); }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return &*value_; }
    // Why there is no value ("" when there is one).
    const std::string& error() const { return error_; }

  private:
    Result() = default;
    std::optional<T> value_;
    std::string error_;
};

// Done, or why not.
struct Done {};

} // namespace zenta
