#pragma once

class Alerts;
class ApplicationShell;
class FrontmostApplication;
class MicrophoneAuthorization;

// The operating-system services Murmex uses, one interface each. The program fills it with the
// Linux implementations; tests fill it with fakes.
struct Platform {
    Alerts &alerts;
    ApplicationShell &shell;
    FrontmostApplication &frontmostApplication;
    MicrophoneAuthorization &microphoneAuthorization;
};
