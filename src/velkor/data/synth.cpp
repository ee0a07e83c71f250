// Speech synthesis with eSpeak NG, for building speech corpora from text.
//
// eSpeak NG is GPL-3.0 licensed, so it is not a core dependency: the optional extra "synth"
// installs the espeakng-loader package, which ships the shared library and its voice data. The
// library is opened with dlopen on first use and driven through its C API in synchronous mode:
// espeak_Synth runs on the calling thread and hands every block of 16-bit samples to our
// callback, which appends them to the buffer of the call in progress. eSpeak NG keeps global
// state, so one process drives one engine, always with the GIL held.
#include <vk/common.hpp>

#include <pybind11/numpy.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;

// The slice of eSpeak NG's C API we use (declarations as in its public header speak_lib.h).
constexpr int kAudioOutputSynchronous = 2;
constexpr int kInitializeDontExit = 0x8000;  // report a missing data directory instead of exit()
constexpr int kParameterRate = 1;
constexpr int kParameterPitch = 3;
constexpr int kParameterRange = 4;
constexpr unsigned kCharsUtf8 = 1;
constexpr int kPositionCharacter = 1;
constexpr int kErrorOk = 0;

using SynthCallback = int(short*, int, void*);
using InitializeFn = int (*)(int, int, const char*, int);
using SetSynthCallbackFn = void (*)(SynthCallback*);
using SetVoiceByNameFn = int (*)(const char*);
using SetParameterFn = int (*)(int, int, int);
using SynthFn = int (*)(const void*, std::size_t, unsigned, int, unsigned, unsigned, unsigned*, void*);
using SynchronizeFn = int (*)();

// Longest utterance one call may produce: ten minutes at the engine's rate. Longer text is refused
// rather than growing the buffer without bound.
constexpr std::size_t kMaxSeconds = 600;

struct Engine {
    void* handle = nullptr;
    int sample_rate = 0;
    SetVoiceByNameFn set_voice = nullptr;
    SetParameterFn set_parameter = nullptr;
    SynthFn synth = nullptr;
    SynchronizeFn synchronize = nullptr;
};

// Where the callback writes: the buffer of the synthesize() call in progress (null otherwise).
struct Sink {
    std::vector<std::int16_t>* samples = nullptr;
    std::size_t limit = 0;
    bool overflow = false;
    bool out_of_memory = false;
};
Sink g_sink;

// Called from C: it must not throw. Returning 1 stops the synthesis.
int on_samples(short* wav, int count, void*) noexcept {
    if (g_sink.samples == nullptr) return 1;
    if (wav == nullptr || count <= 0) return 0;  // end of synthesis, or a block of events only
    const auto n = static_cast<std::size_t>(count);
    if (g_sink.samples->size() + n > g_sink.limit) {
        g_sink.overflow = true;
        return 1;
    }
    try {
        g_sink.samples->insert(g_sink.samples->end(), wav, wav + n);
    } catch (...) {
        g_sink.out_of_memory = true;
        return 1;
    }
    return 0;
}

const char* const kMissingExtra =
    "eSpeak NG is not installed: speech synthesis (velkor prepare synth, velkor demo) needs the optional extra 'synth' "
    "(pip install 'velkor[synth]', which installs espeakng-loader)";

template <class F>
F symbol(void* handle, const char* name) {
    void* p = dlsym(handle, name);
    if (p == nullptr) throw py::import_error(std::string("The eSpeak NG library has no symbol ") + name);
    return reinterpret_cast<F>(p);
}

Engine& engine() {
    static Engine e;
    if (e.handle != nullptr) return e;
    py::object loader;
    try {
        loader = py::module_::import("espeakng_loader");
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ImportError)) throw;
        PyErr_SetString(PyExc_ModuleNotFoundError, kMissingExtra);
        throw py::error_already_set();
    }
    const std::string library = py::str(vk::call_method<"get_library_path">(loader));
    const std::string data = py::str(vk::call_method<"get_data_path">(loader));
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        throw py::import_error("Cannot load the eSpeak NG library " + library + ": " + (why != nullptr ? why : "unknown error"));
    }
    try {
        const auto initialize = symbol<InitializeFn>(handle, "espeak_Initialize");
        const auto set_callback = symbol<SetSynthCallbackFn>(handle, "espeak_SetSynthCallback");
        Engine ready;
        ready.set_voice = symbol<SetVoiceByNameFn>(handle, "espeak_SetVoiceByName");
        ready.set_parameter = symbol<SetParameterFn>(handle, "espeak_SetParameter");
        ready.synth = symbol<SynthFn>(handle, "espeak_Synth");
        ready.synchronize = symbol<SynchronizeFn>(handle, "espeak_Synchronize");
        const int rate = initialize(kAudioOutputSynchronous, 0, data.c_str(), kInitializeDontExit);
        if (rate <= 0) throw py::import_error("eSpeak NG could not start with its data directory " + data);
        set_callback(&on_samples);
        ready.sample_rate = rate;
        ready.handle = handle;
        e = ready;
    } catch (...) {
        dlclose(handle);
        throw;
    }
    return e;
}

py::array_t<std::int16_t> to_array(const std::vector<std::int16_t>& samples) {
    py::array_t<std::int16_t> out(static_cast<py::ssize_t>(samples.size()));
    if (!samples.empty()) std::memcpy(out.mutable_data(), samples.data(), samples.size() * sizeof(std::int16_t));
    return out;
}

using SynthesizeArgs = vk::Args<"text, voice='en-us', rate=175, pitch=50, pitch_range=50">;

py::object synthesize(py::handle, const SynthesizeArgs& a) {
    const std::string text = a.text<"text">();
    const std::string voice = a.text<"voice">();
    const long long rate = a.integer<"rate">();
    const long long pitch = a.integer<"pitch">();
    const long long range = a.integer<"pitch_range">();
    if (rate < 80 || rate > 450) throw py::value_error("rate must be between 80 and 450 words per minute, got " + std::to_string(rate));
    if (pitch < 0 || pitch > 100) throw py::value_error("pitch must be between 0 and 100, got " + std::to_string(pitch));
    if (range < 0 || range > 100) throw py::value_error("pitch_range must be between 0 and 100, got " + std::to_string(range));
    if (text.find('\0') != std::string::npos) throw py::value_error("text must not contain NUL characters");
    Engine& e = engine();
    if (e.set_voice(voice.c_str()) != kErrorOk) throw py::value_error("Unknown eSpeak NG voice: " + voice);
    e.set_parameter(kParameterRate, static_cast<int>(rate), 0);
    e.set_parameter(kParameterPitch, static_cast<int>(pitch), 0);
    e.set_parameter(kParameterRange, static_cast<int>(range), 0);

    std::vector<std::int16_t> samples;
    g_sink = Sink{&samples, kMaxSeconds * static_cast<std::size_t>(e.sample_rate), false, false};
    // The GIL stays held: the engine and the sink are process-wide, so two threads must not
    // synthesize at once.
    int status = e.synth(text.c_str(), text.size() + 1, 0, kPositionCharacter, 0, kCharsUtf8, nullptr, nullptr);
    if (status == kErrorOk) status = e.synchronize();
    const bool overflow = g_sink.overflow, out_of_memory = g_sink.out_of_memory;
    g_sink = Sink{};
    if (out_of_memory) throw std::bad_alloc();
    if (overflow) throw py::value_error("Text too long: more than " + std::to_string(kMaxSeconds) + " seconds of speech");
    if (status != kErrorOk) throw std::runtime_error("eSpeak NG failed to synthesize the text (status " + std::to_string(status) + ")");
    return to_array(samples);
}

py::object sample_rate(py::handle, const vk::Args<"">&) { return py::int_(engine().sample_rate); }

py::object is_available(py::handle, const vk::Args<"">&) {
    try {
        py::module_::import("espeakng_loader");
        return py::bool_(true);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ImportError)) throw;
        return py::bool_(false);
    }
}

constexpr vk::Def kSynthesize{"synthesize", synthesize,
                              "Speaks `text` with eSpeak NG and returns the samples as a 1-D int16 array at sample_rate() Hz.\n"
                              "voice: an eSpeak NG voice name, optionally with a variant ('en-us', 'en+f3', 'en-gb-x-rp+m2');\n"
                              "rate: words per minute (80-450); pitch and pitch_range: 0-100.\n"
                              "Raises ModuleNotFoundError naming the 'synth' extra when eSpeak NG is not installed."};
constexpr vk::Def kSampleRate{"sample_rate", sample_rate, "Sample rate of synthesize()'s output (22050 Hz for eSpeak NG)."};
constexpr vk::Def kIsAvailable{"is_available", is_available, "Whether the optional eSpeak NG package (extra 'synth') is installed."};

}  // namespace

PYBIND11_MODULE(synth, m) {
    m.doc() = "Speech synthesis with eSpeak NG (optional extra 'synth'), driven through its C API.";
    vk::define_functions<kSynthesize, kSampleRate, kIsAvailable>(m);
    m.attr("DEFAULT_VOICES") = py::make_tuple("en-us", "en-us+f3", "en+m3", "en-gb-x-rp+f2", "en-us+m7", "en+f4");
}
