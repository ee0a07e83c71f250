// Filter banks from audio, written once for data preparation and recognition, so that a model
// hears at transcription exactly what it was trained on: audio read with soundfile (channels
// averaged to mono), brought to 16 kHz with soxr, and turned into Kaldi-compatible log-mel filter
// banks by kaldi-native-fbank (25 ms frames every 10 ms, no dither), as float32 (bins, frames).
#pragma once

#include <vk/common.hpp>

#include <pybind11/numpy.h>

#include <optional>
#include <string>

namespace vkdomain {

namespace py = pybind11;

inline constexpr long long kFeatureRate = 16000;
inline constexpr long long kMinSamples = 400;  // one 25 ms frame at 16 kHz
inline constexpr long long kFrameShift = 160;  // 10 ms at 16 kHz

// Largest floating-point sample that stays a finite float32 on the 16-bit scale.
inline constexpr double kMaxFloatSample = 3.4028234663852886e38 / 32768.0;

inline constexpr const char* kFeaturesTooLarge = "features that are not finite numbers (samples far outside [-1, 1])";

// Filter-bank frames of `samples` 16 kHz samples (frames start every 10 ms, whole 25 ms frames only).
inline long long frames_of(long long samples) { return samples < kMinSamples ? 0 : 1 + (samples - kMinSamples) / kFrameShift; }

inline py::object fbank_options(long long num_bins) {
    const py::object opts = vk::call(vk::imported<"kaldi_native_fbank", "FbankOptions">());
    const py::object frame = vk::attr<"frame_opts">(opts);
    vk::set_attr<"dither">(frame, py::float_(0.0));  // deterministic features
    vk::set_attr<"samp_freq">(frame, py::float_(static_cast<double>(kFeatureRate)));
    vk::set_attr<"snip_edges">(frame, py::bool_(true));
    vk::set_attr<"num_bins">(vk::attr<"mel_opts">(opts), py::int_(num_bins));
    return opts;
}

// 16 kHz float32 samples on the 16-bit scale Kaldi's tools work on, from any 1-D array: integer
// samples are taken as 16-bit values, floating-point ones as [-1, 1].
inline py::array_t<float> to_feature_rate(py::handle samples, long long sample_rate) {
    if (sample_rate <= 0) throw py::value_error("sample_rate must be positive, got " + std::to_string(sample_rate));
    const py::object np = py::reinterpret_borrow<py::object>(vk::imported<"numpy">());
    py::object x = vk::call(vk::attr<"asarray">(np), samples);
    if (py::cast<long long>(vk::attr<"ndim">(x)) != 1)
        throw py::value_error("samples must be a 1-D array, got " + std::to_string(py::cast<long long>(vk::attr<"ndim">(x))) +
                              " dimensions");
    const std::string kind = py::str(vk::attr<"kind">(vk::attr<"dtype">(x)));
    if (kind != "i" && kind != "u" && kind != "f")
        throw py::type_error("samples must be numeric, got dtype " + vk::text(vk::attr<"dtype">(x)));
    const bool integer = kind != "f";
    x = vk::call_method<"astype">(x, vk::attr<"float32">(np));
    if (!integer) x = vk::call(vk::attr<"multiply">(np), x, py::float_(32768.0), vk::kw<"dtype">(vk::attr<"float32">(np)));
    if (sample_rate != kFeatureRate) x = vk::call(vk::imported<"soxr", "resample">(), x, sample_rate, kFeatureRate);
    return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(x);
}

// (num_bins, frames) float32 filter banks of 16 kHz samples.
inline py::array_t<float> fbank_16k(const py::array_t<float>& samples, long long num_bins) {
    const py::object fbank = vk::call(vk::imported<"kaldi_native_fbank", "OnlineFbank">(), fbank_options(num_bins));
    vk::call_method<"accept_waveform">(fbank, py::float_(static_cast<double>(kFeatureRate)), samples);
    vk::call_method<"input_finished">(fbank);
    const long long frames = py::cast<long long>(vk::attr<"num_frames_ready">(fbank));
    if (frames < 0) throw std::runtime_error("kaldi-native-fbank reported a negative frame count");
    py::array_t<float> out({static_cast<py::ssize_t>(num_bins), static_cast<py::ssize_t>(frames)});
    float* dst = out.mutable_data();
    for (long long t = 0; t < frames; ++t) {
        const auto frame = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(vk::call_method<"get_frame">(fbank, t));
        if (!frame || frame.size() != num_bins)
            throw std::runtime_error("kaldi-native-fbank returned a frame of " + std::to_string(frame ? frame.size() : 0) +
                                     " values, expected " + std::to_string(num_bins));
        const float* src = frame.data();
        for (long long b = 0; b < num_bins; ++b) dst[b * frames + t] = src[b];
    }
    return out;
}

// Audio as read from a file: mono float32 samples in [-1, 1] at its own rate.
struct Audio {
    py::object mono;
    long long rate = 0;
    long long samples = 0;
    double seconds() const { return static_cast<double>(samples) / static_cast<double>(rate); }
};

// Reads an audio file with soundfile, channels averaged to mono. Returns why it cannot be used
// (the reasons data preparation lists), or nullopt with `out` filled.
inline std::optional<std::string> read_audio(py::handle path, Audio& out) {
    py::object data, rate;
    try {
        const py::tuple read = vk::call(vk::imported<"soundfile", "read">(), path, vk::kw<"dtype">("float32"), vk::kw<"always_2d">(true));
        data = read[0];
        rate = read[1];
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return "unreadable audio: " + vk::display(e.value());
    }
    out.mono = vk::call(vk::imported<"numpy", "mean">(), data, vk::kw<"axis">(1), vk::kw<"dtype">(vk::imported<"numpy", "float32">()));
    out.samples = py::len(out.mono);
    out.rate = py::cast<long long>(rate);
    if (out.rate <= 0) return "invalid sample rate " + std::to_string(out.rate);
    return std::nullopt;
}

// Why 1-D samples at `rate` cannot become filter banks (empty, shorter than one frame, not
// finite, too large for the 16-bit scale), or nullopt. Floating-point samples are [-1, 1].
inline std::optional<std::string> unusable_samples(py::handle samples, long long rate) {
    const long long n = py::len(samples);
    if (n * kFeatureRate < kMinSamples * rate) return n == 0 ? "empty audio" : "shorter than one 25 ms frame";
    const py::handle np = vk::imported<"numpy">();
    if (!vk::truthy(vk::call(vk::attr<"all">(np), vk::call(vk::attr<"isfinite">(np), samples))))
        return "samples that are not finite numbers";
    // Finite samples can still be too large: beyond the float range once on the 16-bit scale
    // (checked first, so numpy has no overflow to warn about), or for the power spectrum.
    const std::string kind = py::str(vk::attr<"kind">(vk::attr<"dtype">(vk::call(vk::attr<"asarray">(np), samples))));
    if (kind == "f" && py::cast<double>(vk::call(vk::attr<"max">(np), vk::call(vk::attr<"abs">(np), samples))) > kMaxFloatSample)
        return kFeaturesTooLarge;
    return std::nullopt;
}

// True when every value of `features` is a finite number.
inline bool all_finite(py::handle features) {
    const py::handle np = vk::imported<"numpy">();
    return vk::truthy(vk::call(vk::attr<"all">(np), vk::call(vk::attr<"isfinite">(np), features)));
}

}  // namespace vkdomain
