#pragma once

// The desktop's switch that asks toolkits to expose their accessibility trees: the property
// org.a11y.Status.IsEnabled of the accessibility bus launcher (org.a11y.Bus, /org/a11y/bus).
//
// Toolkits read it when a program starts: GTK and Qt programs expose their text fields (and so
// their caret) only if it was on then. Murmex needs those text fields, but the switch belongs to
// the user's desktop: it is turned on only when it is off, and only once per launch.
namespace AccessibilityStatus {

// Reads the switch and turns it on when it is off, at most once per process whoever calls; logs
// when it did turn it on, and a failure in the developer log. Returns at once: the calls are
// asynchronous, answered on the main thread within a bound. Any thread, once the application
// object exists.
void enableOnce();

} // namespace AccessibilityStatus
