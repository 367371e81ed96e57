#include "SampleRateConverter.h"

#include <soxr.h>

#include <vector>

struct SampleRateConverter::State {
    soxr_t handle = nullptr;
    ~State()
    {
        if (handle)
            soxr_delete(handle);
    }
};

SampleRateConverter::SampleRateConverter(std::unique_ptr<State> state, double inputRate, double outputRate)
    : state_(std::move(state)), inputRate_(inputRate), outputRate_(outputRate)
{
}

SampleRateConverter::~SampleRateConverter() = default;

Expected<std::unique_ptr<SampleRateConverter>> SampleRateConverter::create(double inputRate, double outputRate, size_t maximumInputFrames)
{
    const auto fail = [](const QString &reason) {
        return std::unexpected(Error{QStringLiteral("MurmexAudio"), 28, QStringLiteral("No se pudo preparar la conversión del micrófono (%1).").arg(reason)});
    };
    if (inputRate <= 0 || outputRate <= 0)
        return fail(QStringLiteral("frecuencia no válida"));
    // Low latency matters more than the last bit of quality for speech: the medium-quality recipe
    // with the minimum-phase filter keeps the delay to a few milliseconds.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, SOXR_MINIMUM_PHASE);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    auto state = std::make_unique<State>();
    state->handle = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
    if (error || !state->handle)
        return fail(QString::fromUtf8(error ? error : "soxr"));
    // One conversion of the largest input now, so the first real one allocates nothing (the filter
    // starts from silence either way).
    std::vector<float> silence(maximumInputFrames, 0.0f);
    std::vector<float> output(size_t(double(maximumInputFrames) * outputRate / inputRate) + 64);
    size_t consumed = 0, produced = 0;
    soxr_process(state->handle, silence.data(), silence.size(), &consumed, output.data(), output.size(), &produced);
    return std::unique_ptr<SampleRateConverter>(new SampleRateConverter(std::move(state), inputRate, outputRate));
}

long SampleRateConverter::process(const float *input, size_t inputFrames, float *output, size_t outputCapacity)
{
    size_t consumed = 0, produced = 0;
    if (soxr_process(state_->handle, input, inputFrames, &consumed, output, outputCapacity, &produced) != nullptr)
        return -1;
    return long(produced);
}
