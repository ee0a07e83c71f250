// Building datasets on disk in the layout the datasets read:
//
//   <root>/<partition>/fbank/<id>.npy   float32 (80, frames) Kaldi-compatible log-mel filter banks
//   <root>/<partition>/text/<id>.npy    1-D array of characters whose concatenation is the transcript
//   <root>/<partition>/<id>.npy         (text partitions of a language model) the same transcript arrays
//   <root>/<partition>/manifest.tsv     one line per utterance: id, source, seconds, transcript
//
// Speech comes from eSpeak NG (prepare_synth, from sentences of a text file) or from the user's
// recordings (prepare_audio: a LibriSpeech-style tree or a two-column TSV). Audio is brought to
// 16 kHz with soxr before the filter banks are computed by kaldi-native-fbank. Speed perturbation
// writes each training utterance again at other speeds (id "sp<factor>-<id>"), resampled as if
// it had been recorded at rate x factor: tempo and pitch change together, the duration by 1/factor.
//
// The manifest is also the record of what was written. A partition folder is ours when it holds
// our manifest: writing it again removes exactly the files the manifest lists, then writes the new
// ones. A folder without one must be empty (or new); a file the manifest does not list where the
// datasets would read it stops the run before anything is touched. While a partition is written,
// its lines go to manifest.tsv.partial (each line before its files), which replaces manifest.tsv
// at the end, so an interrupted run leaves a record of every file it wrote.
#include <vk/common.hpp>
#include <vkdomain/features.hpp>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

using vkdomain::fbank_16k;
using vkdomain::kFeatureRate;
using vkdomain::kMinSamples;
using vkdomain::to_feature_rate;

constexpr long long kNumBins = 80;

constexpr const char* kManifest = "manifest.tsv";
constexpr const char* kJournal = "manifest.tsv.partial";
constexpr std::string_view kManifestHeader = "id\tsource\tseconds\ttranscript";

// ---------------------------------------------------------------------------------------------
// Files and paths

py::object join(py::handle a, py::handle b) { return vk::call(vk::imported<"os.path", "join">(), a, b); }
py::object join(py::handle a, const std::string& b) { return join(a, py::str(b)); }

void make_dirs(py::handle path) { vk::call(vk::imported<"os", "makedirs">(), path, kw<"exist_ok">(true)); }

// A path argument as str (bytes are decoded the way os.listdir would return them).
py::object path_arg(py::handle arg) { return vk::call(vk::imported<"os", "fsdecode">(), vk::call(vk::imported<"os", "fspath">(), arg)); }

bool ends_with(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The bytes the file system knows a path by.
std::string fs_bytes(py::handle path) {
    const py::object b = vk::call(vk::imported<"os", "fsencode">(), path);
    std::string s(PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
    if (s.find('\0') != std::string::npos) throw py::value_error("Path contains a NUL character: " + vk::display_repr(path));
    return s;
}

// A file name as UTF-8, or nullopt when it is not valid UTF-8 (listed with surrogate escapes).
std::optional<std::string> utf8_name(py::handle name) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size)) return std::string(data, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
}

[[noreturn]] void raise_os_error(int error, py::handle path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

enum class Kind { missing, regular, directory, other };

// What is at `path`: with follow = false a symbolic link is `other`, whatever it points to.
Kind kind_of(py::handle path, bool follow) {
    struct stat st{};
    const std::string name = fs_bytes(path);
    if ((follow ? ::stat(name.c_str(), &st) : ::lstat(name.c_str(), &st)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Kind::missing;
        raise_os_error(errno, path);
    }
    if (S_ISREG(st.st_mode)) return Kind::regular;
    if (S_ISDIR(st.st_mode)) return Kind::directory;
    return Kind::other;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The lines of a UTF-8 text file, or why they could not be read. A FIFO, a device or a folder is
// never read: it is opened without blocking and refused.
struct TextRead {
    std::vector<std::string> lines;
    std::string problem;  // empty when the lines were read
    int error = 0;        // errno when opening or reading failed
};

TextRead read_text(py::handle path) {
    TextRead r;
    const std::string name = fs_bytes(path);
    const Fd fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const auto failed = [&r] {
        r.error = errno;
        r.problem = std::strerror(r.error);
        return r;
    };
    if (fd.get() < 0) return failed();
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return failed();
    if (!S_ISREG(st.st_mode)) {
        r.problem = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
        return r;
    }
    std::string bytes;
    char chunk[65536];
    while (true) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return failed();
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (decoded == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
        const py::error_already_set e;
        Py_ssize_t start = 0;
        if (PyUnicodeDecodeError_GetStart(e.value().ptr(), &start) != 0) throw py::error_already_set();
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(bytes[static_cast<std::size_t>(start)]));
        r.problem = "it is not UTF-8 text (byte " + std::string(byte) + " at offset " + std::to_string(start) + ")";
        return r;
    }
    const py::object text = py::reinterpret_steal<py::object>(decoded);
    for (const py::handle line : vk::call_method<"splitlines">(text)) r.lines.push_back(vk::utf8(line));
    return r;
}

// The lines of a file named by the user: anything else is an error naming it.
std::vector<std::string> read_lines(py::handle path) {
    TextRead r = read_text(path);
    if (r.error != 0) raise_os_error(r.error, path);
    if (!r.problem.empty()) throw py::value_error("Cannot read '" + vk::display(path) + "': " + r.problem);
    return std::move(r.lines);
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

// A partition or utterance name that stays inside its folder: no separators, not "." or "..".
bool is_plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
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

using FbankArgs = vk::Args<"samples, sample_rate, num_bins=80">;

py::object compute_fbank(py::handle, const FbankArgs& a) {
    const long long rate = a.integer<"sample_rate">();
    const long long bins = a.integer<"num_bins">();
    if (bins <= 0 || bins > 1024) throw py::value_error("num_bins must be between 1 and 1024, got " + std::to_string(bins));
    return fbank_16k(to_feature_rate(a.get<"samples">(), rate), bins);
}

// ---------------------------------------------------------------------------------------------
// Speed perturbation

constexpr double kMinSpeed = 0.5, kMaxSpeed = 2.0;

// The speed_perturb argument: None or a list of factors in [0.5, 2]; 1 (the utterance as it is,
// always written) and repeats are dropped, so the result holds only the extra speeds.
std::vector<double> speed_factors(py::handle arg) {
    std::vector<double> factors;
    if (arg.is_none()) return factors;
    if (!PyList_Check(arg.ptr()) && !PyTuple_Check(arg.ptr())) vk::raise_arg_type("speed_perturb", "list", arg);
    for (const py::handle v : arg) {
        const double f = vk::to_real(v, "speed_perturb");
        if (!(std::isfinite(f) && f >= kMinSpeed && f <= kMaxSpeed))
            throw py::value_error("speed_perturb factors must be numbers from " + vk::float_text(kMinSpeed) + " to " +
                                  vk::float_text(kMaxSpeed) + ", got " + vk::float_text(f));
        if (f != 1.0 && std::find(factors.begin(), factors.end(), f) == factors.end()) factors.push_back(f);
    }
    return factors;
}

std::string speed_id(double factor, const std::string& id) { return "sp" + vk::float_text(factor) + "-" + id; }

// Filter banks of `samples` (1-D, at `rate`) played `factor` times faster: resampled from
// rate x factor to 16 kHz in one step (to_feature_rate at 16 kHz only brings the samples to the
// 16-bit scale).
py::array_t<float> speed_features(py::handle samples, long long rate, double factor, long long bins) {
    const py::array_t<float> scaled = to_feature_rate(samples, kFeatureRate);
    const py::object resampled =
        vk::call(vk::imported<"soxr", "resample">(), scaled, static_cast<double>(rate) * factor, static_cast<double>(kFeatureRate));
    return fbank_16k(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(resampled), bins);
}

// ---------------------------------------------------------------------------------------------
// Partitions: what an earlier run wrote, and writing them again

// A manifest field on one line: tabs and line breaks (including those str.splitlines() knows)
// become spaces.
std::string field(std::string s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1e)) {
            out += ' ';
        } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) {  // U+0085
            out += ' ';
            ++i;
        } else if (c == 0xe2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(s[i + 2]) == 0xa8 || static_cast<unsigned char>(s[i + 2]) == 0xa9)) {  // U+2028/9
            out += ' ';
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (true) {
        const std::size_t tab = line.find('\t', begin);
        parts.push_back(line.substr(begin, tab == std::string::npos ? std::string::npos : tab - begin));
        if (tab == std::string::npos) return parts;
        begin = tab + 1;
    }
}

// The files (relative to the partition folder) that an earlier run recorded in `record`, or why
// `record` is not one of our manifests.
std::optional<std::string> read_record(py::handle record, std::unordered_set<std::string>& files) {
    if (kind_of(record, false) != Kind::regular) return std::string("it is not a regular file");
    const TextRead r = read_text(record);
    if (!r.problem.empty()) return r.problem;
    if (r.lines.empty() || r.lines[0] != kManifestHeader) return std::string("its first line is not the manifest header");
    for (std::size_t n = 1; n < r.lines.size(); ++n) {
        const std::vector<std::string> columns = split_tabs(r.lines[n]);
        if (columns.size() != 4 || !is_plain_name(columns[0]))
            return "line " + std::to_string(n + 1) + " is not an utterance line (id, source, seconds, transcript)";
        const std::string& id = columns[0];
        if (columns[2].empty()) {  // text partition
            files.insert(id + ".npy");
        } else {
            files.insert("fbank/" + id + ".npy");
            files.insert("text/" + id + ".npy");
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, py::object>> sorted_entries(py::handle dir) {
    std::vector<std::pair<std::string, py::object>> entries;
    for (const py::handle name : py::list(vk::call(vk::imported<"os", "listdir">(), dir)))
        entries.emplace_back(vk::utf8(name, "surrogateescape"), py::reinterpret_borrow<py::object>(name));
    std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    return entries;
}

// The files an earlier run wrote into `dir` (nothing when it does not exist yet). A folder that
// holds anything else where the datasets would read it, or that is not empty without being ours,
// is refused here, before anything is written. `inside` marks a partition we name inside the
// output folder: there a symbolic link is refused, as it would lead the files elsewhere.
std::unordered_set<std::string> owned_files(py::handle dir, bool inside) {
    std::unordered_set<std::string> files;
    const Kind kind = kind_of(dir, !inside);
    if (kind == Kind::missing) return files;
    const std::string where = "'" + vk::display(dir) + "'";
    if (kind != Kind::directory)
        throw py::value_error("Cannot prepare " + where + ": it exists and is not a folder" + (inside ? " (or is a symbolic link)" : ""));
    bool ours = false;
    for (const char* record : {kManifest, kJournal}) {
        const py::object path = join(dir, std::string(record));
        if (kind_of(path, false) == Kind::missing) continue;
        if (const std::optional<std::string> why = read_record(path, files))
            throw py::value_error("Refusing to prepare " + where + ": its " + record + " was not written by an earlier preparation (" +
                                  *why + "); use a new or empty folder");
        ours = true;
    }
    const auto foreign = [&](const std::string& entry) {
        if (!ours)
            throw py::value_error("Refusing to prepare " + where + ": it is not empty and has no " + kManifest +
                                  " of an earlier preparation (found '" + entry + "'); use a new or empty folder");
        throw py::value_error("Refusing to prepare " + where + ": '" + entry + "' is not listed in its " + kManifest +
                              ", so an earlier preparation did not write it; move it away or use another folder");
    };
    const auto display_name = [](const py::object& name) { return vk::display(name); };
    for (const auto& [name, name_obj] : sorted_entries(dir)) {
        if (name == kManifest || name == kJournal) continue;
        if (name == "fbank" || name == "text") {
            const py::object sub = join(dir, name_obj);
            // A link here would lead the writes out of the partition.
            if (kind_of(sub, false) != Kind::directory)
                throw py::value_error("Refusing to prepare " + where + ": its '" + name + "' is not a folder (or is a symbolic link)");
            for (const auto& [inner, inner_obj] : sorted_entries(sub))
                if (!ours || (ends_with(inner, ".npy") && !files.count(name + "/" + inner))) foreign(name + "/" + display_name(inner_obj));
            continue;
        }
        if (!ours || (ends_with(name, ".npy") && !files.count(name))) foreign(display_name(name_obj));
    }
    return files;
}

// The manifest being written: lines are on disk (flushed to the kernel) before the files they
// name, so an interruption never leaves a file that no record lists.
class Journal {
public:
    Journal(py::object path, py::object target) : path_(std::move(path)), target_(std::move(target)) {
        const std::string name = fs_bytes(path_);
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) raise_os_error(errno, path_);
        write(std::string(kManifestHeader) + "\n");
    }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal() {
        if (fd_ >= 0) ::close(fd_);
    }

    void write(const std::string& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                raise_os_error(errno, path_);
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Synced, closed and renamed over the manifest in one step.
    void commit() {
        if (::fsync(fd_) != 0) raise_os_error(errno, path_);
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) raise_os_error(errno, path_);
        vk::call(vk::imported<"os", "replace">(), path_, target_);
    }

private:
    py::object path_, target_;
    int fd_ = -1;
};

// One partition being written: a speech partition (fbank/, text/) or a text one (<id>.npy).
// Nothing in the folder changes until the first utterance, or finish(), opens it.
class PartitionWriter {
public:
    PartitionWriter(py::object dir, bool speech, bool inside) : dir_(std::move(dir)), speech_(speech), owned_(owned_files(dir_, inside)) {}

    void add(const std::string& id, const std::string& source, std::optional<double> duration, const std::string& transcript,
             py::handle features = py::handle()) {
        open();
        journal_->write(field(id) + "\t" + field(source) + "\t" + (duration ? vk::fixed_text(*duration, 3) : std::string()) + "\t" +
                        field(transcript) + "\n");
        const py::str file(id + ".npy");
        if (speech_) {
            save_features(join(join(dir_, std::string("fbank")), file), features);
            save_transcript(join(join(dir_, std::string("text")), file), transcript);
        } else {
            save_transcript(join(dir_, file), transcript);
        }
        ++utterances;
        if (duration) seconds += *duration;
    }

    void finish() {
        open();
        journal_->commit();
        journal_.reset();
    }

    const py::object& dir() const { return dir_; }
    long long utterances = 0;
    double seconds = 0.0;

private:
    // Removes what the earlier run wrote and starts the new record.
    void open() {
        if (journal_) return;
        make_dirs(dir_);
        if (speech_) {
            make_dirs(join(dir_, std::string("fbank")));
            make_dirs(join(dir_, std::string("text")));
        }
        for (const std::string& rel : owned_) {
            const py::object path = join(dir_, rel);
            if (::unlink(fs_bytes(path).c_str()) != 0 && errno != ENOENT) raise_os_error(errno, path);
        }
        owned_.clear();
        journal_.emplace(join(dir_, std::string(kJournal)), join(dir_, std::string(kManifest)));
    }

    py::object dir_;
    bool speech_;
    std::unordered_set<std::string> owned_;
    std::optional<Journal> journal_;
};

std::string fixed(double v, int decimals) { return vk::fixed_text(v, decimals); }

// Deterministic on every platform: mt19937 is specified exactly, and so is this shuffle.
template <class T>
void shuffle(std::vector<T>& items, std::mt19937_64& rng) {
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
    const py::object path = path_arg(arg);
    const std::optional<std::string> s = utf8_name(path);
    if (s && s->rfind("embedded:", 0) == 0) return embedded_path(s->substr(9));
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

// Sources in the manifest are absolute, so it stays meaningful wherever it is read from.
std::string absolute(py::handle path) { return vk::display(vk::call(vk::imported<"os.path", "abspath">(), path)); }

// "FILE:LINE" for the manifest.
std::string line_source(py::handle file, std::size_t line) { return absolute(file) + ":" + std::to_string(line); }

// ---------------------------------------------------------------------------------------------
// Synthesized speech

// The default speaking rates leave the utterances enough frames for CTC at a time reduction of 4
// (frames / 4 >= characters + 1 + adjacent repeats). Measured on 3000 embedded sentences: 12.2%
// fall short at 170-220 words per minute, 1.8% at 150-200, 0.2% at 140-180, none at 130-170.
using SynthArgs = vk::Args<
    "output_dir, text_file=None, num_train=2000, num_dev=100, num_test=100, voices=None, min_words=3, max_words=12, "
    "min_rate=130, max_rate=170, min_pitch=35, max_pitch=65, seed=0, speed_perturb=None">;

// What prepare_synth is asked for, checked before anything is read or written.
struct SynthRequest {
    py::object output, text_file;
    long long counts[3];  // train, dev, test
    long long min_words, max_words, min_rate, max_rate, min_pitch, max_pitch, seed, wanted;
    py::module_ synth;
    std::vector<std::string> voices;
    long long rate;              // of the synthesizer's samples
    std::vector<double> speeds;  // extra speeds of the training partition
};

SynthRequest synth_request(const SynthArgs& a) {
    SynthRequest r;
    r.output = path_arg(a.get<"output_dir">());
    r.text_file = a.is_none<"text_file">() ? embedded_path("asr") : text_path(a.get<"text_file">());
    r.counts[0] = a.integer<"num_train">();
    r.counts[1] = a.integer<"num_dev">();
    r.counts[2] = a.integer<"num_test">();
    for (const long long c : r.counts)
        if (c < 0) throw py::value_error("Utterance counts must not be negative");
    r.min_words = a.integer<"min_words">();
    r.max_words = a.integer<"max_words">();
    r.min_rate = a.integer<"min_rate">();
    r.max_rate = a.integer<"max_rate">();
    r.min_pitch = a.integer<"min_pitch">();
    r.max_pitch = a.integer<"max_pitch">();
    if (r.min_words < 1 || r.max_words < r.min_words) throw py::value_error("Need 1 <= min_words <= max_words");
    if (r.min_rate > r.max_rate || r.min_pitch > r.max_pitch) throw py::value_error("Need min_rate <= max_rate and min_pitch <= max_pitch");
    r.seed = a.integer<"seed">();
    r.wanted = r.counts[0] + r.counts[1] + r.counts[2];
    if (r.wanted == 0) throw py::value_error("Nothing to synthesize: num_train, num_dev and num_test are all 0");
    r.speeds = speed_factors(a.get<"speed_perturb">());
    r.synth = py::module_::import("velkor.data.synth");
    r.voices = a.is_none<"voices">() ? string_list(r.synth.attr("DEFAULT_VOICES"), "voices") : string_list(a.get<"voices">(), "voices");
    if (r.voices.empty()) throw py::value_error("voices must name at least one voice");
    r.rate = py::cast<long long>(vk::call(r.synth.attr("sample_rate")));  // fails early, naming the extra
    return r;
}

struct Sentence {
    std::string text;
    std::size_t line;
};

// One sentence per line, de-duplicated, within the word limits, in file order.
std::vector<Sentence> usable_sentences(const SynthRequest& r) {
    std::vector<Sentence> sentences;
    std::unordered_set<std::string> seen;
    const std::vector<std::string> lines = read_lines(r.text_file);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string s = squeeze(lines[n]);
        const std::size_t words = word_count(s);
        if (s.empty() || words < static_cast<std::size_t>(r.min_words) || words > static_cast<std::size_t>(r.max_words)) continue;
        if (seen.insert(s).second) sentences.push_back({std::move(s), n + 1});
    }
    return sentences;
}

// Written in this order: the test and dev sets take their sentences first, so they do not
// change when the training set grows.
constexpr const char* kSynthPartitions[3] = {"test-clean", "dev-clean", "train-clean-100"};

// How many sentences each partition of kSynthPartitions takes; one asked for that would get none
// is an error naming what the text offers.
std::array<std::size_t, 3> sentence_takes(const SynthRequest& r, std::size_t available, const std::string& usable) {
    const long long order[3] = {r.counts[2], r.counts[1], r.counts[0]};
    std::array<std::size_t, 3> takes{};
    for (std::size_t p = 0, next = 0; p < 3; ++p) {
        takes[p] = std::min<std::size_t>(static_cast<std::size_t>(order[p]), available - next);
        next += takes[p];
        if (order[p] > 0 && takes[p] == 0)
            throw py::value_error(std::string("No utterance can be synthesized for ") + kSynthPartitions[p] + ": '" +
                                  vk::display(r.text_file) + "' has " + usable +
                                  (available == 0 ? "" : ", all taken by the partitions written before it"));
    }
    return takes;
}

// The partition `name` from `count` sentences, each spoken with a voice, speed and pitch drawn
// from `rng` (and written again at each of `speeds`); a sentence eSpeak NG gives no audio for is
// skipped with a warning.
void synthesize_partition(const SynthRequest& r, const char* name, const Sentence* sentences, std::size_t count, std::mt19937_64& rng,
                          PartitionWriter& part, const std::vector<double>& speeds) {
    const py::object bar = vk::progress(vk::call(vk::imported<"builtins", "range">(), count), kw<"desc">(vk::text("[Synthesizing] ", name)),
                                        kw<"dynamic_ncols">(true));
    for (const py::handle i_obj : bar) {
        const std::size_t i = py::cast<std::size_t>(i_obj);
        const Sentence& sentence = sentences[i];
        const std::string& voice = r.voices[static_cast<std::size_t>(uniform(rng, 0, static_cast<long long>(r.voices.size()) - 1))];
        const long long wpm = uniform(rng, r.min_rate, r.max_rate), pitch = uniform(rng, r.min_pitch, r.max_pitch);
        const py::object samples =
            vk::call(r.synth.attr("synthesize"), py::str(sentence.text), kw<"voice">(voice), kw<"rate">(wpm), kw<"pitch">(pitch));
        const long long n = py::len(samples);
        const py::array_t<float> features = fbank_16k(to_feature_rate(samples, r.rate), kNumBins);
        if (n < kMinSamples || features.shape(1) == 0) {
            vk::println("Warning: eSpeak NG produced no audio for \"", sentence.text, "\"; skipped");
            continue;
        }
        char id[64];
        std::snprintf(id, sizeof id, "%s-%06zu", name, i);
        const double seconds = static_cast<double>(n) / static_cast<double>(r.rate);
        part.add(id, line_source(r.text_file, sentence.line), seconds, sentence.text, features);
        for (const double factor : speeds) {
            const py::array_t<float> faster = speed_features(samples, r.rate, factor, kNumBins);
            if (faster.shape(1) > 0)
                part.add(speed_id(factor, id), line_source(r.text_file, sentence.line), seconds / factor, sentence.text, faster);
        }
    }
    part.finish();
}

// The partitions' summaries as a tree, the training partition first.
void print_synth_summary(py::handle output, const py::list& partitions) {
    vk::println("\nSynthesized speech dataset: ", output);
    for (std::size_t i = partitions.size(); i-- > 0;) {
        const py::dict info = partitions[i];
        vk::println(i == 0 ? vk::kLast : vk::kBranch, py::str(info["partition"]), ": ", py::str(info["utterances"]), " utterances, ",
                    fixed(py::cast<double>(info["hours"]) * 60.0, 1), " minutes");
    }
}

// Sentences of the text in a seeded order → how many each partition takes → every partition
// folder checked → partitions synthesized → summary.
py::object prepare_synth(py::handle, const SynthArgs& a) {
    const SynthRequest r = synth_request(a);
    std::vector<Sentence> sentences = usable_sentences(r);
    std::mt19937_64 rng(static_cast<std::uint64_t>(r.seed));
    shuffle(sentences, rng);
    const std::string usable = std::to_string(sentences.size()) + " usable sentences (" + std::to_string(r.min_words) + "-" +
                               std::to_string(r.max_words) + " words)";
    if (static_cast<long long>(sentences.size()) < r.wanted)
        vk::println("Warning: ", r.text_file, " has ", usable, "; ", r.wanted, " were asked for, the training partition gets fewer");
    const std::array<std::size_t, 3> takes = sentence_takes(r, sentences.size(), usable);
    // Every partition folder is checked before any is written.
    std::vector<std::unique_ptr<PartitionWriter>> parts;
    for (const char* name : kSynthPartitions)
        parts.push_back(std::make_unique<PartitionWriter>(join(r.output, std::string(name)), true, true));

    py::list partitions;
    double total_seconds = 0.0;
    long long total = 0;
    for (std::size_t p = 0, next = 0; p < 3; next += takes[p], ++p) {
        PartitionWriter& part = *parts[p];
        // Only the training partition is perturbed: dev and test stay the speech they measure.
        synthesize_partition(r, kSynthPartitions[p], sentences.data() + next, takes[p], rng, part,
                             p == 2 ? r.speeds : std::vector<double>{});
        total += part.utterances;
        total_seconds += part.seconds;
        py::dict info;
        info["partition"] = kSynthPartitions[p];
        info["utterances"] = part.utterances;
        info["hours"] = part.seconds / 3600.0;
        partitions.append(info);
    }
    print_synth_summary(r.output, partitions);
    for (std::size_t p = 0; p < 3; ++p)
        if (takes[p] > 0 && parts[p]->utterances == 0)
            throw py::value_error(std::string("No utterance was synthesized for ") + kSynthPartitions[p] +
                                  ": eSpeak NG produced no audio for its " + std::to_string(takes[p]) + " sentences");
    py::dict summary;
    summary["root"] = r.output;
    summary["utterances"] = total;
    summary["hours"] = total_seconds / 3600.0;
    summary["partitions"] = partitions;
    summary["voices"] = py::cast(r.voices);
    summary["text_file"] = r.text_file;
    summary["speed_perturb"] = py::cast(r.speeds);
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

bool is_audio_name(const std::string& name) {
    for (const char* ext : {".flac", ".wav", ".ogg", ".mp3", ".opus"})
        if (ends_with(name, ext)) return true;
    return false;
}

bool is_listed_name(const std::string& name) { return is_audio_name(name) || ends_with(name, ".trans.txt"); }

// A folder of the tree with its files, sorted by name (all valid UTF-8).
struct TreeDir {
    std::string name;
    py::object path;
    std::vector<std::pair<std::string, py::object>> files;
};

// Every folder under root, sorted by name; files whose name (or whose folder's name) is not
// valid UTF-8 are reported when they would have been listed.
std::vector<TreeDir> tree_dirs(py::handle root, std::vector<Skip>& skipped) {
    std::vector<TreeDir> dirs;
    for (const py::handle entry : vk::call(vk::imported<"os", "walk">(), root)) {
        const py::tuple t = py::reinterpret_borrow<py::tuple>(entry);
        const py::object path = t[0];
        const std::optional<std::string> dir_name = utf8_name(path);
        TreeDir dir{dir_name.value_or(""), path, {}};
        std::size_t unnamed = 0;
        for (const py::handle f : t[2]) {
            const std::optional<std::string> name = utf8_name(f);
            if (name && dir_name) {
                dir.files.emplace_back(*name, py::reinterpret_borrow<py::object>(f));
            } else if (is_listed_name(vk::display(f))) {
                if (dir_name)
                    skipped.push_back({vk::display(join(path, f)), "file name is not valid UTF-8"});
                else
                    ++unnamed;
            }
        }
        if (unnamed > 0)
            skipped.push_back({vk::display(path), "folder name is not valid UTF-8: its " + std::to_string(unnamed) +
                                                      " audio and transcript files are skipped"});
        if (!dir_name) continue;
        std::sort(dir.files.begin(), dir.files.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        dirs.push_back(std::move(dir));
    }
    std::sort(dirs.begin(), dirs.end(), [](const TreeDir& x, const TreeDir& y) { return x.name < y.name; });
    return dirs;
}

// The items of one "*.trans.txt" of `dir`, each with the .flac (else .wav) of its id beside it,
// which is marked as claimed.
void read_transcript_list(const TreeDir& dir, const py::object& trans, const std::unordered_set<std::string>& file_names,
                          std::unordered_set<std::string>& claimed, std::vector<Item>& items, std::vector<Skip>& skipped) {
    const std::string trans_name = vk::display(trans);
    const TextRead read = read_text(trans);
    if (!read.problem.empty()) {
        skipped.push_back({trans_name, "unreadable transcript list: " + read.problem});
        return;
    }
    for (std::size_t n = 0; n < read.lines.size(); ++n) {
        const std::string line = squeeze(read.lines[n]);
        if (line.empty()) continue;
        const std::string origin = trans_name + ":" + std::to_string(n + 1);
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) {
            skipped.push_back({origin, "no transcript after the utterance id"});
            continue;
        }
        Item item{line.substr(0, space), py::none(), line.substr(space + 1), origin};
        if (!is_plain_name(item.id)) {
            skipped.push_back({origin, "the utterance id is not a plain file name"});
            continue;
        }
        for (const char* ext : {".flac", ".wav"}) {
            if (!file_names.count(item.id + ext)) continue;
            item.audio = join(dir.path, item.id + ext);
            claimed.insert(item.id + ext);
            break;
        }
        items.push_back(std::move(item));
    }
}

// LibriSpeech layout: every "*.trans.txt" holds "<utterance id> <transcript>" lines for the audio
// files "<utterance id>.flac" (or .wav) beside it. Audio files named in no transcript are reported,
// and so are names that are not valid UTF-8 (they could not be written into the manifest).
void scan_tree(py::handle root, std::vector<Item>& items, std::vector<Skip>& skipped) {
    for (const TreeDir& dir : tree_dirs(root, skipped)) {
        std::unordered_set<std::string> file_names;
        for (const auto& f : dir.files) file_names.insert(f.first);
        std::unordered_set<std::string> claimed;
        for (const auto& [f, f_obj] : dir.files)
            if (ends_with(f, ".trans.txt")) read_transcript_list(dir, join(dir.path, f_obj), file_names, claimed, items, skipped);
        for (const auto& [f, f_obj] : dir.files)
            if (is_audio_name(f) && !claimed.count(f))
                skipped.push_back({vk::display(join(dir.path, f_obj)), "no transcript names this file"});
    }
}

// Two tab-separated columns per line: audio path (relative to the TSV's folder) and transcript.
// Lines starting with '#' are comments.
void scan_tsv(py::handle tsv, std::vector<Item>& items, std::vector<Skip>& skipped) {
    const py::object base = vk::call(vk::imported<"os.path", "dirname">(), vk::call(vk::imported<"os.path", "abspath">(), tsv));
    const std::vector<std::string> lines = read_lines(tsv);
    const std::string tsv_name = vk::display(tsv);
    std::size_t index = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& raw = lines[n];
        if (squeeze(raw).empty() || raw[0] == '#') continue;
        const std::string origin = tsv_name + ":" + std::to_string(n + 1);
        const std::size_t tab = raw.find('\t');
        if (tab == std::string::npos) {
            skipped.push_back({origin, "expected two tab-separated columns (audio path, transcript)"});
            continue;
        }
        const std::string path = squeeze(raw.substr(0, tab));
        const std::string transcript = squeeze(raw.substr(tab + 1));
        char id[32];
        std::snprintf(id, sizeof id, "%07zu", index++);
        items.push_back({id, join(base, path), transcript, origin});
    }
}

using AudioArgs = vk::Args<"source, output_dir, num_bins=80, speed_perturb=None">;

// The items of a source: a folder is a LibriSpeech-style tree, a regular file a TSV list.
std::vector<Item> source_items(py::handle source, std::vector<Skip>& skipped) {
    std::vector<Item> items;
    switch (kind_of(source, true)) {
        case Kind::directory:
            scan_tree(source, items, skipped);
            break;
        case Kind::regular:
            scan_tsv(source, items, skipped);
            break;
        case Kind::missing:
            PyErr_SetObject(PyExc_FileNotFoundError, py::str(vk::text("No such file or directory: ", source)).ptr());
            throw py::error_already_set();
        case Kind::other:
            throw py::value_error("Cannot read '" + vk::display(source) + "': it is neither a folder nor a regular file");
    }
    return items;
}

// One item read, checked and written to the partition (and again at each of `speeds`), or why it
// was skipped.
std::optional<Skip> add_item(const Item& item, long long bins, const std::vector<double>& speeds, std::unordered_set<std::string>& ids,
                             PartitionWriter& part) {
    Kind kind = Kind::missing;
    if (!item.audio.is_none()) {
        try {
            kind = kind_of(item.audio, true);
        } catch (py::error_already_set& e) {  // a folder on the way that may not be searched
            if (!e.matches(PyExc_OSError)) throw;
            return Skip{vk::display(item.audio), "unreadable audio: " + vk::display(e.value())};
        }
    }
    if (kind == Kind::missing) return Skip{item.origin, "audio file not found"};
    const std::string where = vk::display(item.audio);
    if (kind != Kind::regular) return Skip{where, "not a regular file"};
    if (item.transcript.empty()) return Skip{where, "empty transcript"};
    if (!ids.insert(item.id).second) return Skip{where, "utterance id " + item.id + " appears twice"};
    for (const double factor : speeds)
        if (ids.count(speed_id(factor, item.id)) > 0) return Skip{where, "utterance id " + speed_id(factor, item.id) + " appears twice"};
    vkdomain::Audio audio;
    std::optional<std::string> why = vkdomain::read_audio(item.audio, audio);
    if (!why) why = vkdomain::unusable_samples(audio.mono, audio.rate);
    if (why) return Skip{where, *why};
    const py::array_t<float> features = fbank_16k(to_feature_rate(audio.mono, audio.rate), bins);
    if (!vkdomain::all_finite(features)) return Skip{where, vkdomain::kFeaturesTooLarge};
    part.add(item.id, absolute(item.audio), audio.seconds(), item.transcript, features);
    for (const double factor : speeds) {
        const py::array_t<float> faster = speed_features(audio.mono, audio.rate, factor, bins);
        // Far too short to be heard at this speed, or (like the original) too loud to be a number.
        if (faster.shape(1) == 0 || !vkdomain::all_finite(faster)) continue;
        ids.insert(speed_id(factor, item.id));
        part.add(speed_id(factor, item.id), absolute(item.audio), audio.seconds() / factor, item.transcript, faster);
    }
    return std::nullopt;
}

// Speed perturbation is for training data: a folder named like a validation or test partition
// (dev-clean, test-other, valid, eval) is refused, so that no measurement hears altered speech.
void check_training_partition(py::handle output) {
    std::string name =
        vk::display(vk::call(vk::imported<"os.path", "basename">(),
                             vk::call(vk::imported<"os.path", "normpath">(), vk::call(vk::imported<"os.path", "abspath">(), output))));
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* prefix : {"dev", "test", "val", "eval"})
        if (name.rfind(prefix, 0) == 0)
            throw py::value_error("speed_perturb is for training partitions only, and '" + name +
                                  "' is named like a validation or test partition; prepare it without speed perturbation");
}

// The partition's totals and every skipped file with its reason; returns the skipped as
// (file, reason) pairs.
py::list report_audio(py::handle output, const PartitionWriter& part, const std::vector<Skip>& skipped) {
    vk::println("\nPrepared ", output);
    vk::println(vk::kBranch, "Utterances: ", part.utterances);
    vk::println(vk::kBranch, "Hours: ", fixed(part.seconds / 3600.0, 3));
    vk::println(vk::kLast, "Skipped: ", skipped.size());
    py::list skipped_list;
    for (std::size_t i = 0; i < skipped.size(); ++i) {
        vk::println(vk::kBlank, i + 1 == skipped.size() ? vk::kLast : vk::kBranch, skipped[i].what, ": ", skipped[i].why);
        skipped_list.append(py::make_tuple(skipped[i].what, skipped[i].why));
    }
    return skipped_list;
}

// Items of the source → each read and written, or skipped with its reason → report; nothing
// usable is an error after the report, with the partition folder left as it was.
py::object prepare_audio(py::handle, const AudioArgs& a) {
    const py::object source = path_arg(a.get<"source">());
    const py::object output = path_arg(a.get<"output_dir">());
    const long long bins = a.integer<"num_bins">();
    if (bins <= 0 || bins > 1024) throw py::value_error("num_bins must be between 1 and 1024, got " + std::to_string(bins));
    const std::vector<double> speeds = speed_factors(a.get<"speed_perturb">());
    if (!speeds.empty()) check_training_partition(output);
    std::vector<Skip> skipped;
    const std::vector<Item> items = source_items(source, skipped);
    // The partition folder itself (output/fbank, output/text); checked before any audio is read,
    // and left as it was until the first utterance is ready.
    PartitionWriter part(output, true, false);
    std::unordered_set<std::string> ids;
    for (const py::handle i_obj : vk::progress(vk::call(vk::imported<"builtins", "range">(), items.size()), kw<"desc">("[Preparing audio]"),
                                               kw<"dynamic_ncols">(true)))
        if (std::optional<Skip> skip = add_item(items[py::cast<std::size_t>(i_obj)], bins, speeds, ids, part))
            skipped.push_back(std::move(*skip));
    if (part.utterances > 0) part.finish();
    const py::list skipped_list = report_audio(output, part, skipped);
    if (part.utterances == 0) {
        const std::string why = skipped.empty() ? (items.empty() ? "it names no audio file with a transcript" : "nothing was usable")
                                                : "all " + std::to_string(skipped.size()) + " were skipped (reasons listed above)";
        throw py::value_error("No utterance was prepared from '" + vk::display(source) + "': " + why +
                              "; the partition folder was left as it was");
    }
    py::dict summary;
    summary["partition"] = output;
    summary["utterances"] = part.utterances;
    summary["hours"] = part.seconds / 3600.0;
    summary["skipped"] = skipped_list;
    summary["speed_perturb"] = py::cast(speeds);
    return summary;
}

// ---------------------------------------------------------------------------------------------
// Text partitions for a language model

using TextArgs = vk::Args<"text_file, output_dir, splits=None, seed=0, max_chars=None">;

// Partition names and fractions of the lines; none when the output folder is the one partition.
struct Splits {
    std::vector<std::pair<std::string, double>> parts;
    double total_fraction = 1.0;
};

// The splits argument: plain folder names with positive fractions adding up to at most 1.
Splits splits_arg(const TextArgs& a) {
    Splits splits;
    if (a.is_none<"splits">()) return splits;
    double sum = 0.0;
    for (const auto& [k, v] : a.dict<"splits">()) {
        const std::string name = vk::exact_str(k, "splits");
        if (!is_plain_name(name))
            throw py::value_error("Split name '" + name + "' must be a plain folder name inside output_dir (not empty, no '/' or '\\', " +
                                  "not '.' or '..')");
        const double f = vk::to_real(v, "splits");
        if (!(f > 0.0)) throw py::value_error("Every split fraction must be positive");
        sum += f;
        splits.parts.emplace_back(name, f);
    }
    if (splits.parts.empty()) throw py::value_error("splits must name at least one partition");
    if (sum > 1.0 + 1e-9) throw py::value_error("Split fractions add up to more than 1");
    splits.total_fraction = sum;
    return splits;
}

struct Line {
    std::string text;
    std::size_t number;
};

// The non-empty lines, squeezed; those over max_chars characters (when it is positive) are
// counted and left out. A file with no line left is an error.
std::vector<Line> text_lines(py::handle text_file, long long max_chars) {
    std::vector<Line> lines;
    std::size_t too_long = 0;
    const std::vector<std::string> raw = read_lines(text_file);
    for (std::size_t n = 0; n < raw.size(); ++n) {
        std::string s = squeeze(raw[n]);
        if (s.empty()) continue;
        const long long chars = py::len(py::str(s));
        if (max_chars > 0 && chars > max_chars) {
            ++too_long;
            continue;
        }
        lines.push_back({std::move(s), n + 1});
    }
    if (too_long > 0) vk::println("Skipped ", too_long, " lines longer than ", max_chars, " characters");
    if (lines.empty())
        throw py::value_error("No transcript was prepared from '" + vk::display(text_file) + "': it has no non-empty line" +
                              (too_long > 0 ? " of at most " + std::to_string(max_chars) + " characters" : std::string()));
    return lines;
}

// A partition of the split and how many lines it takes.
struct TextPartition {
    std::unique_ptr<PartitionWriter> writer;
    std::size_t take;
};

// How many lines each partition takes (the last one the remainder when the fractions add up to
// 1), and every partition folder checked, before anything is written.
std::vector<TextPartition> text_partitions(const Splits& splits, std::size_t num_lines, py::handle output) {
    std::vector<TextPartition> partitions;
    for (std::size_t s = 0, next = 0; s < splits.parts.size(); ++s) {
        const auto& [name, fraction] = splits.parts[s];
        std::size_t take = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(num_lines)));
        take = std::min(take, num_lines - next);
        if (s + 1 == splits.parts.size() && splits.total_fraction > 1.0 - 1e-9) take = num_lines - next;
        if (take == 0)
            throw py::value_error("Split '" + name + "' would be empty: " + vk::float_text(fraction) + " of " + std::to_string(num_lines) +
                                  " lines is less than one line");
        next += take;
        const py::object dir = name.empty() ? py::reinterpret_borrow<py::object>(output) : join(output, name);
        partitions.push_back({std::make_unique<PartitionWriter>(dir, false, !name.empty()), take});
    }
    return partitions;
}

// Lines of the text → dealt out to the splits (shuffled by seed when there are splits) → one
// transcript array per line in each partition.
py::object prepare_text(py::handle, const TextArgs& a) {
    const py::object text_file = text_path(a.get<"text_file">());
    const py::object output = path_arg(a.get<"output_dir">());
    Splits splits = splits_arg(a);
    const long long max_chars = a.is_none<"max_chars">() ? -1 : a.integer<"max_chars">();
    if (!a.is_none<"max_chars">() && max_chars <= 0) throw py::value_error("max_chars must be positive");
    std::vector<Line> lines = text_lines(text_file, max_chars);
    if (splits.parts.empty()) {
        splits.parts.emplace_back("", 1.0);
    } else {
        std::mt19937_64 rng(static_cast<std::uint64_t>(a.integer<"seed">()));
        shuffle(lines, rng);
    }
    const std::vector<TextPartition> partitions = text_partitions(splits, lines.size(), output);
    py::dict summary;
    for (std::size_t s = 0, next = 0; s < partitions.size(); next += partitions[s].take, ++s) {
        PartitionWriter& part = *partitions[s].writer;
        for (std::size_t i = 0; i < partitions[s].take; ++i) {
            char id[32];
            std::snprintf(id, sizeof id, "%08zu", i);
            const Line& line = lines[next + i];
            part.add(id, line_source(text_file, line.number), std::nullopt, line.text);
        }
        part.finish();
        const std::string& name = splits.parts[s].first;
        summary[name.empty() ? vk::call(vk::imported<"os.path", "basename">(), output) : py::str(name)] = partitions[s].take;
        vk::println("Wrote ", partitions[s].take, " transcripts to ", part.dir());
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
    "Builds a speech dataset under output_dir (partitions train-clean-100, dev-clean and test-clean, each with fbank/, "
    "text/ and manifest.tsv) from sentences of text_file (one per line; the embedded text when None or \"embedded:asr\"), "
    "spoken by eSpeak NG with a voice, a speed (min_rate-max_rate words per minute) and a pitch drawn per utterance. Only "
    "sentences of min_words-max_words words are used; test and dev take theirs first. speed_perturb (factors in [0.5, 2], "
    "e.g. [0.9, 1.0, 1.1]) also writes each training utterance at each speed other than 1, as sp<factor>-<id>. Needs the "
    "'synth' extra. Raises ValueError when a partition asked for would be empty. Returns a summary."};
constexpr vk::Def kPrepareAudio{
    "prepare_audio", prepare_audio,
    "Builds one partition (output_dir/fbank, output_dir/text, output_dir/manifest.tsv) from recordings: `source` is a "
    "LibriSpeech-style folder (*.trans.txt beside *.flac) or a TSV file of audio path and transcript. Audio is read with "
    "soundfile and resampled to 16 kHz with soxr. speed_perturb (factors in [0.5, 2], e.g. [0.9, 1.0, 1.1]; a training "
    "partition only) also writes each utterance at each speed other than 1, as sp<factor>-<id>. Unreadable, empty or "
    "untranscribed files are skipped and listed; when nothing is left, ValueError is raised after the list. Returns "
    "{'partition', 'utterances', 'hours', 'skipped': [(file, reason), ...], 'speed_perturb': [factor, ...]}."};
constexpr vk::Def kPrepareText{"prepare_text", prepare_text,
                               "Writes one transcript array per non-empty line of text_file (\"embedded:lm\" or "
                               "\"embedded:asr\" for the embedded text), with a manifest.tsv. Without splits output_dir is "
                               "the partition; with splits ({'train': 0.9, 'dev': 0.05, ...}) the lines are shuffled (seed) "
                               "and dealt out to output_dir/<name> by fraction. Lines longer than max_chars characters are "
                               "skipped (and counted). Raises ValueError when a partition would be empty. Returns "
                               "{partition: count}."};
constexpr vk::Def kEmbeddedText{"embedded_text", embedded_text,
                                "Path of the embedded public-domain text: 'asr' (sentences for speech) or 'lm' (a disjoint "
                                "set for the language model), one normalized sentence per line."};

}  // namespace

PYBIND11_MODULE(prepare, m) {
    m.doc() = "Dataset preparation: synthesized speech, the user's recordings and text, in the layout the datasets read.";
    vk::define_functions<kComputeFbank, kPrepareSynth, kPrepareAudio, kPrepareText, kEmbeddedText>(m);
    m.attr("SAMPLE_RATE") = py::int_(kFeatureRate);
}
