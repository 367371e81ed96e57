#pragma once

#include <QString>

// The folder Murmex runs from, installed or in the build tree, laid out alike:
//   bundle.json  {"identifier", "version", "executable"}
//   bin/murmex   libexec/  share/murmex/
namespace Bundle {

// The folder holding bundle.json above the running executable, or empty when there is none.
QString rootPath();
// The "version" of bundle.json, or empty when it cannot be read.
QString shortVersion();
QString resourcesPath();
QString libexecPath();

} // namespace Bundle
