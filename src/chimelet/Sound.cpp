#include "Sound.h"

#include <sndfile.h>

#include <algorithm>
#include <memory>

namespace {

struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

} // namespace

std::expected<Sound, SoundError> loadSound(const std::string &path)
{
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1 || info.samplerate < 1)
        return std::unexpected(SoundError::unreadable);

    Sound sound;
    sound.sampleRate = info.samplerate;
    sound.channels = info.channels;
    // The frame count in the header can be missing or wrong (a file cut short): read in blocks until
    // the decoder has no more.
    constexpr sf_count_t blockFrames = 4096;
    for (;;) {
        const std::size_t used = sound.samples.size();
        sound.samples.resize(used + std::size_t(blockFrames * info.channels));
        const sf_count_t read = sf_readf_float(file.get(), sound.samples.data() + used, blockFrames);
        sound.samples.resize(used + std::size_t(std::max<sf_count_t>(read, 0) * info.channels));
        if (read < blockFrames)
            break;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR || sound.samples.empty())
        return std::unexpected(SoundError::unreadable);
    return sound;
}
