// Building datasets on disk in the layout the datasets read:
//
//   <root>/<partition>/fbank/<id>.npy   float32 (80, frames) Kaldi-compatible log-mel filter banks
//   <root>/<partition>/text/<id>.npy    1-D array of characters whose concatenation is the transcript
//   <root>/<partition>/<id>.npy         (text partitions of a language model) the same transcript arrays
//
// Speech comes from eSpeak NG (prepare_synth, from sentences of a text file) or from the user's
// recordings (prepare_audio: a LibriSpeech-style tree or a two-column TSV). Audio is brought to
// 16 kHz with soxr before the filter banks are computed by kaldi-native-fbank. A partition that is
// written again is replaced: its old .npy files go first, so features and transcripts stay paired.
#include <vk/common.hpp>
#include <vk/lookup.hpp>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

constexpr long long kFeatureRate = 16000;
constexpr long long kMinSamples = 400;  // one 25 ms frame at 16 kHz
constexpr long long kNumBins = 80;

// ---------------------------------------------------------------------------------------------
// Files and paths

py::object join(py::handle a, py::handle b) { return vk::call(vk::imported<"os.path", "join">(), a, b); }
py::object join(py::handle a, const char* b) { return join(a, py::str(b)); }

void make_dirs(py::handle path) { vk::call(vk::imported<"os", "makedirs">(), path, kw<"exist_ok">(true)); }

bool is_dir(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "isdir">(), path)); }
bool is_file(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), path)); }

// Removes the .npy files a previous run left in `dir`, so a shorter rewrite leaves no strays.
void clear_npy(py::handle dir) {
    if (!is_dir(dir)) return;
    const py::list names = vk::call(vk::imported<"os", "listdir">(), dir);
    for (const py::handle n : names) {
        const std::string name = py::str(n);
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".npy") == 0) vk::call(vk::imported<"os", "remove">(), join(dir, n));
    }
}

std::vector<std::string> read_lines(py::handle path) {
    const py::object file = vk::call(vk::imported<"pathlib", "Path">(), path);
    const py::object content = vk::call_method<"read_text">(file, kw<"encoding">("utf-8"));
    std::vector<std::string> lines;
    for (const py::handle line : vk::call_method<"splitlines">(content)) lines.push_back(py::str(line));
    return lines;
}

// Whitespace collapsed to single spaces, ends trimmed.
std::string squeeze(const std::string& s) {
    std::string out;
    bool space = false;
    for (const char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

std::size_t word_count(const std::string& s) {
    std::size_t n = 0;
    bool in_word = false;
    for (const char c : s) {
        const bool blank = c == ' ';
        if (!blank && !in_word) ++n;
        in_word = !blank;
    }
    return n;
}

// The transcript array: one element per character, so joining the elements gives the text back.
void save_transcript(py::handle path, const std::string& text) {
    const py::object chars = vk::call(vk::imported<"builtins", "list">(), py::str(text));
    const py::object array = vk::call(vk::imported<"numpy", "array">(), chars, kw<"dtype">("<U1"));
    vk::call(vk::imported<"numpy", "save">(), path, array);
}

void save_features(py::handle path, py::handle features) { vk::call(vk::imported<"numpy", "save">(), path, features); }

// ---------------------------------------------------------------------------------------------
// Features

py::object fbank_options(long long num_bins) {
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
py::array_t<float> to_feature_rate(py::handle samples, long long sample_rate) {
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
    if (!integer) x = vk::call(vk::attr<"multiply">(np), x, py::float_(32768.0), kw<"dtype">(vk::attr<"float32">(np)));
    if (sample_rate != kFeatureRate) x = vk::call(vk::imported<"soxr", "resample">(), x, sample_rate, kFeatureRate);
    return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(x);
}

// (num_bins, frames) float32 filter banks of 16 kHz samples.
py::array_t<float> fbank_16k(const py::array_t<float>& samples, long long num_bins) {
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

using FbankArgs = vk::Args<"samples, sample_rate, num_bins=80">;

py::object compute_fbank(py::handle, const FbankArgs& a) {
    const long long rate = a.integer<"sample_rate">();
    const long long bins = a.integer<"num_bins">();
    if (bins <= 0 || bins > 1024) throw py::value_error("num_bins must be between 1 and 1024, got " + std::to_string(bins));
    return fbank_16k(to_feature_rate(a.get<"samples">(), rate), bins);
}

// ---------------------------------------------------------------------------------------------
// Writing partitions

struct Partition {
    std::string name;
    py::object dir, fbank_dir, text_dir;
    long long utterances = 0;
    double seconds = 0.0;

    Partition(py::handle root, const std::string& name_) : name(name_) {
        dir = join(root, name.c_str());
        fbank_dir = join(dir, "fbank");
        text_dir = join(dir, "text");
        make_dirs(fbank_dir);
        make_dirs(text_dir);
        clear_npy(fbank_dir);
        clear_npy(text_dir);
    }

    void add(const std::string& id, py::handle features, const std::string& transcript, double duration) {
        const py::str file(id + ".npy");
        save_features(join(fbank_dir, file), features);
        save_transcript(join(text_dir, file), transcript);
        ++utterances;
        seconds += duration;
    }
};

std::string fixed(double v, int decimals) { return vk::fixed_text(v, decimals); }

// Deterministic on every platform: mt19937 is specified exactly, and so is this shuffle.
void shuffle(std::vector<std::string>& items, std::mt19937_64& rng) {
    for (std::size_t i = items.size(); i > 1; --i) {
        const std::size_t j = static_cast<std::size_t>(rng() % i);
        std::swap(items[i - 1], items[j]);
    }
}

long long uniform(std::mt19937_64& rng, long long lo, long long hi) {
    return lo + static_cast<long long>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
}

py::object embedded_path(const std::string& name) {
    if (name != "asr" && name != "lm") throw py::value_error("Unknown embedded text '" + name + "': expected 'asr' or 'lm'");
    const py::object root = vk::call(vk::imported<"importlib.resources", "files">(), "velkor");
    return py::str(vk::call_method<"joinpath">(root, "resources", "corpus", name + ".txt"));
}

// A text-file argument: a path, or "embedded:asr" / "embedded:lm" for the embedded text.
py::object text_path(py::handle arg) {
    const py::object path = vk::call(vk::imported<"os", "fspath">(), arg);
    if (PyUnicode_Check(path.ptr())) {
        const std::string s = py::str(path);
        if (s.rfind("embedded:", 0) == 0) return embedded_path(s.substr(9));
    }
    return path;
}

using EmbeddedArgs = vk::Args<"name">;
py::object embedded_text(py::handle, const EmbeddedArgs& a) { return embedded_path(a.text<"name">()); }

std::vector<std::string> string_list(py::handle seq, const char* arg) {
    std::vector<std::string> out;
    if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr())) vk::raise_arg_type(arg, "list", seq);
    for (const py::handle v : seq) out.push_back(vk::exact_str(v, arg));
    return out;
}

using SynthArgs = vk::Args<
    "output_dir, text_file=None, num_train=2000, num_dev=100, num_test=100, voices=None, min_words=3, max_words=12, "
    "min_rate=150, max_rate=200, min_pitch=35, max_pitch=65, seed=0">;

py::object prepare_synth(py::handle, const SynthArgs& a) {
    const py::object output = vk::call(vk::imported<"os", "fspath">(), a.get<"output_dir">());
    const py::object text_file = a.is_none<"text_file">() ? embedded_path("asr") : text_path(a.get<"text_file">());
    const long long counts[3] = {a.integer<"num_train">(), a.integer<"num_dev">(), a.integer<"num_test">()};
    for (const long long c : counts)
        if (c < 0) throw py::value_error("Utterance counts must not be negative");
    const long long min_words = a.integer<"min_words">(), max_words = a.integer<"max_words">();
    const long long min_rate = a.integer<"min_rate">(), max_rate = a.integer<"max_rate">();
    const long long min_pitch = a.integer<"min_pitch">(), max_pitch = a.integer<"max_pitch">();
    if (min_words < 1 || max_words < min_words) throw py::value_error("Need 1 <= min_words <= max_words");
    if (min_rate > max_rate || min_pitch > max_pitch) throw py::value_error("Need min_rate <= max_rate and min_pitch <= max_pitch");
    const long long seed = a.integer<"seed">();
    const py::module_ synth = py::module_::import("velkor.data.synth");
    std::vector<std::string> voices =
        a.is_none<"voices">() ? string_list(synth.attr("DEFAULT_VOICES"), "voices") : string_list(a.get<"voices">(), "voices");
    if (voices.empty()) throw py::value_error("voices must name at least one voice");
    const long long rate = py::cast<long long>(vk::call(synth.attr("sample_rate")));  // fails early, naming the extra

    // Sentences: one per line, de-duplicated, within the word limits, in a seeded order. The test
    // and dev sets are taken first, so they do not change when the training set grows.
    std::vector<std::string> sentences;
    std::unordered_set<std::string> seen;
    for (const std::string& line : read_lines(text_file)) {
        const std::string s = squeeze(line);
        const std::size_t words = word_count(s);
        if (s.empty() || words < static_cast<std::size_t>(min_words) || words > static_cast<std::size_t>(max_words)) continue;
        if (seen.insert(s).second) sentences.push_back(s);
    }
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    shuffle(sentences, rng);
    const long long wanted = counts[0] + counts[1] + counts[2];
    if (static_cast<long long>(sentences.size()) < wanted)
        vk::println("Warning: ", text_file, " has ", sentences.size(), " usable sentences (", min_words, "-", max_words, " words); ",
                    wanted, " were asked for, the training partition gets fewer");

    const char* names[3] = {"test-clean", "dev-clean", "train-clean-100"};
    const long long order[3] = {counts[2], counts[1], counts[0]};
    make_dirs(output);
    std::size_t next = 0;
    py::dict summary;
    py::list partitions;
    double total_seconds = 0.0;
    long long total = 0;
    for (int p = 0; p < 3; ++p) {
        Partition part(output, names[p]);
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(order[p]), sentences.size() - next);
        const py::object bar = vk::progress(vk::call(vk::imported<"builtins", "range">(), take),
                                            kw<"desc">(vk::text("[Synthesizing] ", names[p])), kw<"dynamic_ncols">(true));
        for (const py::handle i_obj : bar) {
            const std::size_t i = py::cast<std::size_t>(i_obj);
            const std::string& sentence = sentences[next + i];
            const std::string& voice = voices[static_cast<std::size_t>(uniform(rng, 0, static_cast<long long>(voices.size()) - 1))];
            const long long wpm = uniform(rng, min_rate, max_rate), pitch = uniform(rng, min_pitch, max_pitch);
            const py::object samples =
                vk::call(synth.attr("synthesize"), py::str(sentence), kw<"voice">(voice), kw<"rate">(wpm), kw<"pitch">(pitch));
            const long long n = py::len(samples);
            const py::array_t<float> features = fbank_16k(to_feature_rate(samples, rate), kNumBins);
            if (n < kMinSamples || features.shape(1) == 0) {
                vk::println("Warning: eSpeak NG produced no audio for \"", sentence, "\"; skipped");
                continue;
            }
            char id[64];
            std::snprintf(id, sizeof id, "%s-%06zu", names[p], i);
            part.add(id, features, sentence, static_cast<double>(n) / static_cast<double>(rate));
        }
        next += take;
        total += part.utterances;
        total_seconds += part.seconds;
        py::dict info;
        info["partition"] = part.name;
        info["utterances"] = part.utterances;
        info["hours"] = part.seconds / 3600.0;
        partitions.append(info);
    }
    vk::println("\nSynthesized speech dataset: ", output);
    for (std::size_t i = partitions.size(); i-- > 0;) {
        const py::dict info = partitions[i];
        vk::println(i == 0 ? vk::kLast : vk::kBranch, py::str(info["partition"]), ": ", py::str(info["utterances"]), " utterances, ",
                    fixed(py::cast<double>(info["hours"]) * 60.0, 1), " minutes");
    }
    summary["root"] = output;
    summary["utterances"] = total;
    summary["hours"] = total_seconds / 3600.0;
    summary["partitions"] = partitions;
    summary["voices"] = py::cast(voices);
    summary["text_file"] = text_file;
    return summary;
}

// ---------------------------------------------------------------------------------------------
// The user's recordings

struct Item {
    std::string id;
    py::object audio;  // path, or None when missing
    std::string transcript;
    std::string origin;  // for messages: the file and line it came from
};

struct Skip {
    std::string what, why;
};

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_audio_name(const std::string& name) {
    for (const char* ext : {".flac", ".wav", ".ogg", ".mp3", ".opus"})
        if (ends_with(name, ext)) return true;
    return false;
}

// LibriSpeech layout: every "*.trans.txt" holds "<utterance id> <transcript>" lines for the audio
// files "<utterance id>.flac" (or .wav) beside it. Audio files named in no transcript are reported.
void scan_tree(py::handle root, std::vector<Item>& items, std::vector<Skip>& skipped) {
    const py::object walk = vk::call(vk::imported<"os", "walk">(), root);
    std::vector<std::pair<std::string, std::vector<std::string>>> dirs;
    for (const py::handle entry : walk) {
        const py::tuple t = py::reinterpret_borrow<py::tuple>(entry);
        std::vector<std::string> files;
        for (const py::handle f : t[2]) files.push_back(py::str(f));
        std::sort(files.begin(), files.end());
        dirs.emplace_back(py::str(t[0]), std::move(files));
    }
    std::sort(dirs.begin(), dirs.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& [dir, files] : dirs) {
        std::unordered_set<std::string> audio_names(files.begin(), files.end());
        std::unordered_set<std::string> claimed;
        for (const std::string& f : files) {
            if (!ends_with(f, ".trans.txt")) continue;
            const py::object trans = join(py::str(dir), py::str(f));
            const std::vector<std::string> lines = read_lines(trans);
            for (std::size_t n = 0; n < lines.size(); ++n) {
                const std::string line = squeeze(lines[n]);
                if (line.empty()) continue;
                const std::string origin = py::str(trans).cast<std::string>() + ":" + std::to_string(n + 1);
                const std::size_t space = line.find(' ');
                if (space == std::string::npos) {
                    skipped.push_back({origin, "no transcript after the utterance id"});
                    continue;
                }
                Item item{line.substr(0, space), py::none(), line.substr(space + 1), origin};
                for (const char* ext : {".flac", ".wav"}) {
                    if (audio_names.count(item.id + ext)) {
                        item.audio = join(py::str(dir), py::str(item.id + ext));
                        claimed.insert(item.id + ext);
                        break;
                    }
                }
                items.push_back(std::move(item));
            }
        }
        for (const std::string& f : files)
            if (is_audio_name(f) && !claimed.count(f))
                skipped.push_back({py::str(join(py::str(dir), py::str(f))).cast<std::string>(), "no transcript names this file"});
    }
}

// Two tab-separated columns per line: audio path (relative to the TSV's folder) and transcript.
// Lines starting with '#' are comments.
void scan_tsv(py::handle tsv, std::vector<Item>& items, std::vector<Skip>& skipped) {
    const py::object base = vk::call(vk::imported<"os.path", "dirname">(), vk::call(vk::imported<"os.path", "abspath">(), tsv));
    const std::vector<std::string> lines = read_lines(tsv);
    std::size_t index = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& raw = lines[n];
        if (squeeze(raw).empty() || raw[0] == '#') continue;
        const std::string origin = py::str(tsv).cast<std::string>() + ":" + std::to_string(n + 1);
        const std::size_t tab = raw.find('\t');
        if (tab == std::string::npos) {
            skipped.push_back({origin, "expected two tab-separated columns (audio path, transcript)"});
            continue;
        }
        const std::string path = squeeze(raw.substr(0, tab));
        const std::string transcript = squeeze(raw.substr(tab + 1));
        char id[32];
        std::snprintf(id, sizeof id, "%07zu", index++);
        Item item{id, join(base, py::str(path)), transcript, origin};
        if (!is_file(item.audio)) item.audio = py::none();
        items.push_back(std::move(item));
    }
}

using AudioArgs = vk::Args<"source, output_dir, num_bins=80">;

py::object prepare_audio(py::handle, const AudioArgs& a) {
    const py::object source = vk::call(vk::imported<"os", "fspath">(), a.get<"source">());
    const py::object output = vk::call(vk::imported<"os", "fspath">(), a.get<"output_dir">());
    const long long bins = a.integer<"num_bins">();
    if (bins <= 0 || bins > 1024) throw py::value_error("num_bins must be between 1 and 1024, got " + std::to_string(bins));
    std::vector<Item> items;
    std::vector<Skip> skipped;
    if (is_dir(source)) {
        scan_tree(source, items, skipped);
    } else if (is_file(source)) {
        scan_tsv(source, items, skipped);
    } else {
        PyErr_SetObject(PyExc_FileNotFoundError, py::str(vk::text("No such file or directory: ", source)).ptr());
        throw py::error_already_set();
    }
    const py::object soundfile = py::module_::import("soundfile");
    const py::object np = py::reinterpret_borrow<py::object>(vk::imported<"numpy">());

    // The partition folder itself: output/fbank, output/text.
    const py::object fbank_dir = join(output, "fbank"), text_dir = join(output, "text");
    make_dirs(fbank_dir);
    make_dirs(text_dir);
    clear_npy(fbank_dir);
    clear_npy(text_dir);
    long long utterances = 0;
    double seconds = 0.0;
    std::unordered_set<std::string> ids;
    for (const py::handle i_obj : vk::progress(vk::call(vk::imported<"builtins", "range">(), items.size()), kw<"desc">("[Preparing audio]"),
                                               kw<"dynamic_ncols">(true))) {
        const Item& item = items[py::cast<std::size_t>(i_obj)];
        if (item.audio.is_none()) {
            skipped.push_back({item.origin, "audio file not found"});
            continue;
        }
        const std::string where = py::str(item.audio);
        if (item.transcript.empty()) {
            skipped.push_back({where, "empty transcript"});
            continue;
        }
        if (!ids.insert(item.id).second) {
            skipped.push_back({where, "utterance id " + item.id + " appears twice"});
            continue;
        }
        py::object data, rate;
        try {
            const py::tuple read = vk::call(soundfile.attr("read"), item.audio, kw<"dtype">("float32"), kw<"always_2d">(true));
            data = read[0];
            rate = read[1];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            skipped.push_back({where, "unreadable audio: " + py::str(e.value()).cast<std::string>()});
            continue;
        }
        // Channels averaged to mono.
        const py::object mono = vk::call(vk::attr<"mean">(np), data, kw<"axis">(1), kw<"dtype">(vk::attr<"float32">(np)));
        const long long n = py::len(mono);
        const long long sr = py::cast<long long>(rate);
        if (sr <= 0) {
            skipped.push_back({where, "invalid sample rate " + std::to_string(sr)});
            continue;
        }
        if (n * kFeatureRate < kMinSamples * sr) {
            skipped.push_back({where, n == 0 ? "empty audio" : "shorter than one 25 ms frame"});
            continue;
        }
        if (!vk::truthy(vk::call(vk::attr<"all">(np), vk::call(vk::attr<"isfinite">(np), mono)))) {
            skipped.push_back({where, "samples that are not finite numbers"});
            continue;
        }
        const py::array_t<float> features = fbank_16k(to_feature_rate(mono, sr), bins);
        const py::str file(item.id + ".npy");
        save_features(join(fbank_dir, file), features);
        save_transcript(join(text_dir, file), item.transcript);
        ++utterances;
        seconds += static_cast<double>(n) / static_cast<double>(sr);
    }
    vk::println("\nPrepared ", output);
    vk::println(vk::kBranch, "Utterances: ", utterances);
    vk::println(vk::kBranch, "Hours: ", fixed(seconds / 3600.0, 3));
    vk::println(vk::kLast, "Skipped: ", skipped.size());
    py::list skipped_list;
    for (std::size_t i = 0; i < skipped.size(); ++i) {
        vk::println(vk::kBlank, i + 1 == skipped.size() ? vk::kLast : vk::kBranch, skipped[i].what, ": ", skipped[i].why);
        skipped_list.append(py::make_tuple(skipped[i].what, skipped[i].why));
    }
    py::dict summary;
    summary["partition"] = output;
    summary["utterances"] = utterances;
    summary["hours"] = seconds / 3600.0;
    summary["skipped"] = skipped_list;
    return summary;
}

// ---------------------------------------------------------------------------------------------
// Text partitions for a language model

using TextArgs = vk::Args<"text_file, output_dir, splits=None, seed=0, max_chars=None">;

py::object prepare_text(py::handle, const TextArgs& a) {
    const py::object text_file = text_path(a.get<"text_file">());
    const py::object output = vk::call(vk::imported<"os", "fspath">(), a.get<"output_dir">());
    std::vector<std::pair<std::string, double>> splits;
    double total_fraction = 1.0;
    if (!a.is_none<"splits">()) {
        const py::dict d = a.dict<"splits">();
        double sum = 0.0;
        for (const auto& [k, v] : d) {
            const double f = vk::to_real(v, "splits");
            if (!(f > 0.0)) throw py::value_error("Every split fraction must be positive");
            sum += f;
            splits.emplace_back(vk::exact_str(k, "splits"), f);
        }
        if (splits.empty()) throw py::value_error("splits must name at least one partition");
        if (sum > 1.0 + 1e-9) throw py::value_error("Split fractions add up to more than 1");
        total_fraction = sum;
    }
    const long long max_chars = a.is_none<"max_chars">() ? -1 : a.integer<"max_chars">();
    if (!a.is_none<"max_chars">() && max_chars <= 0) throw py::value_error("max_chars must be positive");
    std::vector<std::string> lines;
    std::size_t too_long = 0;
    for (const std::string& line : read_lines(text_file)) {
        const std::string s = squeeze(line);
        if (s.empty()) continue;
        const long long chars = py::len(py::str(s));
        if (max_chars > 0 && chars > max_chars) {
            ++too_long;
            continue;
        }
        lines.push_back(s);
    }
    if (too_long > 0) vk::println("Skipped ", too_long, " lines longer than ", max_chars, " characters");
    if (splits.empty()) {
        splits.emplace_back("", 1.0);
    } else {
        std::mt19937_64 rng(static_cast<std::uint64_t>(a.integer<"seed">()));
        shuffle(lines, rng);
    }
    py::dict summary;
    std::size_t next = 0;
    for (std::size_t s = 0; s < splits.size(); ++s) {
        const auto& [name, fraction] = splits[s];
        const py::object dir = name.empty() ? output : join(output, name.c_str());
        make_dirs(dir);
        clear_npy(dir);
        // The last split takes the remainder when the fractions add up to 1.
        std::size_t take = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(lines.size())));
        take = std::min(take, lines.size() - next);
        if (s + 1 == splits.size() && total_fraction > 1.0 - 1e-9) take = lines.size() - next;
        for (std::size_t i = 0; i < take; ++i) {
            char file[32];
            std::snprintf(file, sizeof file, "%08zu.npy", i);
            save_transcript(join(dir, file), lines[next + i]);
        }
        next += take;
        summary[py::str(name.empty() ? std::string(py::str(vk::call(vk::imported<"os.path", "basename">(), output))) : name)] = take;
        vk::println("Wrote ", take, " transcripts to ", dir);
    }
    return summary;
}

constexpr vk::Def kComputeFbank{"compute_fbank", compute_fbank,
                                "80-dimensional (num_bins) Kaldi-compatible log-mel filter banks of a 1-D signal, as float32 "
                                "(num_bins, frames): 25 ms frames every 10 ms, no dither. The signal is resampled to 16 kHz "
                                "with soxr first when sample_rate differs; integer samples are read as 16-bit values, "
                                "floating-point samples as [-1, 1]."};
constexpr vk::Def kPrepareSynth{
    "prepare_synth", prepare_synth,
    "Builds a speech dataset under output_dir (partitions train-clean-100, dev-clean and test-clean, each with fbank/ "
    "and text/) from sentences of text_file (one per line; the embedded text when None or \"embedded:asr\"), spoken by "
    "eSpeak NG with a "
    "voice, a speed (min_rate-max_rate words per minute) and a pitch drawn per utterance. Only sentences of "
    "min_words-max_words words are used; test and dev take theirs first. Needs the 'synth' extra. Returns a summary."};
constexpr vk::Def kPrepareAudio{
    "prepare_audio", prepare_audio,
    "Builds one partition (output_dir/fbank, output_dir/text) from recordings: `source` is a LibriSpeech-style folder "
    "(*.trans.txt beside *.flac) or a TSV file of audio path and transcript. Audio is read with soundfile and "
    "resampled to 16 kHz with soxr. Unreadable, empty or untranscribed files are skipped and listed. Returns "
    "{'partition', 'utterances', 'hours', 'skipped': [(file, reason), ...]}."};
constexpr vk::Def kPrepareText{"prepare_text", prepare_text,
                               "Writes one transcript array per non-empty line of text_file (\"embedded:lm\" or "
                               "\"embedded:asr\" for the embedded text). Without splits output_dir is the "
                               "partition; with splits ({'train': 0.9, 'dev': 0.05, ...}) the lines are shuffled (seed) and "
                               "dealt out to output_dir/<name> by fraction. Lines longer than max_chars characters are skipped "
                               "(and counted). Returns {partition: count}."};
constexpr vk::Def kEmbeddedText{"embedded_text", embedded_text,
                                "Path of the embedded public-domain text: 'asr' (sentences for speech) or 'lm' (a disjoint "
                                "set for the language model), one normalized sentence per line."};

}  // namespace

PYBIND11_MODULE(prepare, m) {
    m.doc() = "Dataset preparation: synthesized speech, the user's recordings and text, in the layout the datasets read.";
    vk::define_functions<kComputeFbank, kPrepareSynth, kPrepareAudio, kPrepareText, kEmbeddedText>(m);
    m.attr("SAMPLE_RATE") = py::int_(kFeatureRate);
}
