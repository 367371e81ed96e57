#pragma once

#include <QString>

// "Cómo instalar el motor de voz…": a small window with the README's section on installing the
// speech engine, read from the bundle, so that the help is there without a network.
namespace EngineHelpWindow {

// The heading of the README section shown.
inline const QString sectionHeading = QStringLiteral("## Installing the speech engine");

// Opens the window, or brings the open one to the front.
void present();
// The section of `markdown` under `sectionHeading`, up to the next heading of the same level;
// empty when there is none.
QString section(const QString &markdown);

} // namespace EngineHelpWindow
