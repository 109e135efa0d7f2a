#pragma once

#include "platform/gui/Application.h"

#include <exception>
#include <utility>

// Wraps a handler connected to a Qt signal: an error goes to the standard
// error report here instead of unwinding through Qt's own code.
template <typename Fn>
auto Guarded(Fn fn) {
    return [fn](auto&&... args) {
        try {
            fn(std::forward<decltype(args)>(args)...);
        } catch (...) {
            Application.HandleException(std::current_exception());
        }
    };
}
