// The MAT functions are called by hosts directly: nothing may escape them.
#pragma once

namespace mat {

template <class Result, class Body>
Result Guarded(Result failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <class Body>
void Guarded(Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
    }
}

}  // namespace mat
