#pragma once

#include <QtGlobal>

#include <optional>

// The process id of the application whose window is active, or none when there is none.
class FrontmostApplication {
public:
    virtual ~FrontmostApplication() = default;
    virtual std::optional<qint64> frontmostProcessId() = 0;
};
