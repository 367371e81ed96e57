#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

// The images drawn from Murmex's logo, one vector resource (share/murmex/Murmex.svg of the bundle)
// rendered at whatever size is asked: the logo itself, the tray's status images and the tray icons
// with a title. Only the logo's opaque pixels matter; every image colours them.
//
// Everything here runs on the main thread (pixmaps and the caches are not shared with workers).
namespace BrandAssets {

// The state a tray image shows: the plain logo while idle, red while recording, orange while
// transcribing.
enum class StatusImage { idle, recording, processing };

inline const QColor recordingTint{0xFF, 0x3B, 0x30};
inline const QColor processingTint{0xFF, 0x95, 0x00};
// The logical size of the status images, and of the tray icons with a title.
inline constexpr int statusImageSize = 18;
inline constexpr int titledTrayIconSize = 22;

// The logo file every image is drawn from. The program sets it once at start-up, before anything
// is drawn, to Bundle::resourcesPath() + "/Murmex.svg"; until then, and when the file is missing
// or unreadable, every image is empty. Setting it drops the cached images.
void setLogoPath(const QString &path);
QString logoPath();
// Where the template image's colour comes from first: the foreground colour the tray publishes,
// read by the platform layer; empty when it publishes none. Setting it drops the cached images.
void setTrayForegroundColor(std::function<std::optional<QColor>()> source);

// The logo in an ARGB32 premultiplied image of `size` logical pixels at `devicePixelRatio`: scaled
// to fit (the smaller of the two ratios of size to the logo's own size) and centred, on a
// transparent background. Empty when the logo cannot be read.
std::optional<QImage> renderedLogo(QSizeF size, qreal devicePixelRatio = 1.0);

// The colour the template image is drawn with: the foreground colour the tray publishes, else the
// window text colour of the desktop's palette. Empty when neither says anything; the template is
// then light grey with a dark outline, visible on light and dark panels alike.
std::optional<QColor> templateTint();

// A status image of 18×18 logical pixels, with pixmaps for device pixel ratios 1 and 2.
// `isTemplate`: the cached monochrome logo that follows the tray's colours (marked as a mask;
// `tint` is ignored). Otherwise the logo filled with `tint` (cached for recordingTint and
// processingTint, drawn afresh for others), or the plain logo without a tint. A null icon when
// the logo cannot be read.
QIcon statusImage(bool isTemplate, std::optional<QColor> tint = std::nullopt);
// Draws the three cached status images ahead of the first change of the tray. Main thread only.
void prewarmStatusImages();

// The tray icon for a state. Without a title, the status image; with one (" REC"), a square icon
// of 22×22 logical pixels with the logo above and the title below in the same colour, outlined
// in dark so that it reads on any panel. Cached per state and title: cheap on every change.
QIcon trayIcon(StatusImage kind, const QString &title = QString());

} // namespace BrandAssets
