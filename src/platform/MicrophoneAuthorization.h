#pragma once

#include <functional>

// Whether Murmex may record the microphone. A desktop session answers "authorised"; a sandboxed
// build asks its portal and may answer otherwise.
class MicrophoneAuthorization {
public:
    enum class Status { authorized, notDetermined, denied, restricted };

    virtual ~MicrophoneAuthorization() = default;
    virtual Status status() = 0;
    // Asks the user; `answered` runs later, on any thread, with the answer.
    virtual void requestAccess(std::function<void(bool granted)> answered) = 0;
};
