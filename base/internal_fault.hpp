// InternalFault: the one C++ exception type for failures that are not ordinary
// error values (broken invariants, "cannot happen" branches).
//
// Contract: thrown anywhere below a call boundary, never caught except by a
// call boundary, which turns it into the Python-level PanicException carrying
// text(). It lives at the bottom of the layer stack so that the pure numerics
// can raise it without knowing anything of Python.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace larkspur {

class InternalFault final : public std::exception {
public:
    explicit InternalFault(std::string text) : text_(std::move(text)) {}
    [[nodiscard]] const std::string& text() const noexcept { return text_; }
    [[nodiscard]] const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

}  // namespace larkspur
