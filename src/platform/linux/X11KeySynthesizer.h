#pragma once

#include "platform/KeySynthesizer.h"

#include <QStringList>

#include <memory>

struct xcb_connection_t;

// Synthetic keys through the XTEST extension, on a connection of its own. X11 cannot address a
// process, so events go to the focused window; when a target process is named and the focused
// window belongs to another living process, nothing is posted rather than typing into the wrong
// application. Modifiers the user still holds are waited for (briefly) and then released, since
// the target would otherwise see Ctrl+Alt+Super+V and paste nothing.
class X11KeySynthesizer final : public KeySynthesizer {
public:
    X11KeySynthesizer();
    ~X11KeySynthesizer() override;

    bool trusted() override;
    // Turns on accessibility for the session (org.a11y.Status.IsEnabled); there is no permission
    // to ask for on X11.
    void promptForTrust() override;
    // Decided by the focused window's WM_CLASS and by its process's program name.
    PasteKeys pasteKeys(std::optional<qint64> targetProcessId) override;
    [[nodiscard]] Delivery postPaste(std::optional<qint64> targetProcessId, PasteKeys keys) override;
    void postNudge(std::optional<qint64> targetProcessId) override;
    void releaseHeldModifiers() override;

    // The paste keys of a program known by these names (WM_CLASS parts, program names).
    static PasteKeys pasteKeysFor(const QStringList &names);

private:
    struct ConnectionDeleter {
        void operator()(xcb_connection_t *connection) const;
    };

    xcb_connection_t *connection();
    bool focusBelongsTo(std::optional<qint64> targetProcessId);

    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection_;
    bool hasXTest = false;
};
