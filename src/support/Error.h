#pragma once

#include <QString>

#include <expected>

// A failure of Murmex's own making: the domain and code identify it, the description is the
// Spanish text a user may see in an alert.
struct Error {
    QString domain;
    int code = 0;
    QString description;
};

template <typename T>
using Expected = std::expected<T, Error>;
