// Using a trained model: Recognizer (speech to text), LanguageModel (text continuations) and the
// one-file model format (.vkm) they can also be loaded from.
//
// A Recognizer hears what the model was trained on: audio goes through the same reading and
// filter-bank code as data preparation (vkdomain/features.hpp) and the experiment's stored
// normalization. Inputs are batched by length, and decoded with the generator and the scorers of
// velkor.decoding exactly as the ASR trainer's recognition does (attention greedy or beam search,
// joint CTC/attention, shallow fusion with a language model). A recording longer than the model
// takes is cut at its quietest points into pieces that each fit.
//
// A model file is one safetensors file: the weights ("model." + state-dict name), the feature
// statistics ("stats.mean", "stats.std") when the model normalizes with them, and a text header
// holding the format, its version, the task, the configuration and the tokenizer as JSON. It is
// read with safetensors alone, so loading one can never run code; everything in it is checked
// (format, configuration, tokenizer, tensor names and shapes) before a model is built from it.
#include <vk/common.hpp>
#include <vkdomain/features.hpp>
#include <vkdomain/scoring.hpp>

#include <pybind11/numpy.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

constexpr const char* kFormat = "velkor-model";
constexpr const char* kVersion = "1";
constexpr const char* kBestCheckpoint = "checkpoint-best-metric-model.pth";

PyObject* recognizer_class = nullptr;  // set when the module is created
PyObject* language_model_class = nullptr;

// ---------------------------------------------------------------------------------------------
// Files and small helpers

std::string str(py::handle o) { return py::str(o); }

// The first line of an error's text, at most 300 characters.
std::string first_line(py::handle error) {
    std::string s = py::str(error);
    s = s.substr(0, s.find('\n'));
    if (s.size() > 300) s = s.substr(0, 300) + "...";
    return s;
}

std::string error_line(py::error_already_set& e) {
    const std::string what = first_line(e.value());
    return what.empty() ? vk::type_name(e.value()) : what;
}

// A path argument as str.
py::object path_arg(py::handle arg, const char* name) {
    if (!PyUnicode_Check(arg.ptr()) && !vk::is_instance(arg, vk::imported<"os", "PathLike">()))
        vk::raise_arg_type(name, "str or os.PathLike", arg);
    return vk::call(vk::imported<"os", "fsdecode">(), vk::call(vk::imported<"os", "fspath">(), arg));
}

py::object join(py::handle a, const char* b) { return vk::call(vk::imported<"os.path", "join">(), a, py::str(b)); }
py::object dirname(py::handle p) { return vk::call(vk::imported<"os.path", "dirname">(), p); }
bool is_dir(py::handle p) { return vk::truthy(vk::call(vk::imported<"os.path", "isdir">(), p)); }
bool is_file(py::handle p) { return vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), p)); }
bool exists(py::handle p) { return vk::truthy(vk::call(vk::imported<"os.path", "exists">(), p)); }

[[noreturn]] void file_error(py::handle path, const std::string& what) { throw py::value_error(vk::display(path) + ": " + what); }

[[noreturn]] void missing(py::handle path, const std::string& what) {
    PyErr_SetString(PyExc_FileNotFoundError, (vk::display(path) + ": " + what).c_str());
    throw py::error_already_set();
}

py::dict section(py::handle cfg, const char* name) {
    const py::object s = py::reinterpret_borrow<py::dict>(cfg)[name];
    return py::reinterpret_borrow<py::dict>(s);
}

std::string task_of(py::handle cfg) { return str(vk::item<"task">(cfg)); }
bool speech_task(const std::string& task) { return task == "asr" || task == "progressive"; }

py::object default_device(py::handle device) {
    if (!device.is_none()) return vk::call(vk::imported<"builtins", "str">(), vk::call(vk::imported<"torch", "device">(), device));
    return py::str(vk::truthy(vk::call(vk::imported<"torch.cuda", "is_available">())) ? "cuda" : "cpu");
}

py::object inference_mode() { return vk::call(vk::imported<"torch", "inference_mode">()); }

// A scratch folder removed when the scope ends.
class ScratchDir {
public:
    ScratchDir() : dir_(vk::call(vk::imported<"tempfile", "TemporaryDirectory">())), path_(vk::attr<"name">(dir_)) {}
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        const vk::detail::KeptError kept;
        PyObject* r = PyObject_CallMethodNoArgs(dir_.ptr(), vk::name<"cleanup">().ptr());
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
    }
    py::object file(const char* name) const { return join(path_, name); }

private:
    py::object dir_, path_;
};

void write_text(py::handle path, py::handle text) {
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), path), text, kw<"encoding">("utf-8"));
}
py::object read_text(py::handle path) {
    return vk::call_method<"read_text">(vk::call(vk::imported<"pathlib", "Path">(), path), kw<"encoding">("utf-8"));
}

// ---------------------------------------------------------------------------------------------
// Experiments: configuration, tokenizer, model, weights and statistics

py::dict checked_config(py::handle file) { return vk::call(vk::imported<"velkor.cli", "load_config">(), file); }

// The experiment of a configuration wherever it was trained, as `velkor evaluate` finds it: the
// working directory's expts/<name> first, then expts/<name> beside the configuration or above it.
py::object find_experiment(py::handle cfg, py::handle config_file) {
    const py::object name = vk::item<"name">(cfg);
    const py::object here = vk::call(vk::imported<"os.path", "join">(), vk::call(vk::imported<"os", "getcwd">()), "expts", name);
    if (is_dir(join(here, "checkpoints"))) return here;
    py::object dir = dirname(vk::call(vk::imported<"os.path", "abspath">(), config_file));
    for (int level = 0; level < 64; ++level) {
        const py::object candidate = vk::call(vk::imported<"os.path", "join">(), dir, "expts", name);
        if (is_dir(join(candidate, "checkpoints"))) return candidate;
        const py::object up = dirname(dir);
        if (str(up) == str(dir)) break;
        dir = up;
    }
    return here;
}

py::object build_tokenizer(py::handle cfg, py::handle root) {
    const py::handle cls = vk::imported<"velkor.data", "BrixTokenizer">();
    const py::object saved = join(root, "tokenizer.json");
    try {
        if (exists(saved)) return vk::call(vk::attr<"load">(cls), saved);
        const py::dict tok = section(cfg, "tokenizer");
        if (tok.contains("file")) return vk::call(vk::attr<"load">(cls), py::object(tok["file"]));
        return py::reinterpret_borrow<py::object>(cls)(**tok);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError) && !e.matches(PyExc_TypeError)) throw;
        file_error(saved, "cannot rebuild the tokenizer: " + error_line(e));
    }
}

py::object build_model(py::handle cfg, py::handle tokenizer, py::handle where) {
    py::dict kwargs = vk::call_method<"copy">(section(cfg, "model"));
    kwargs["num_classes"] = vk::attr<"num_classes">(tokenizer);
    try {
        if (!speech_task(task_of(cfg)))
            return py::reinterpret_borrow<py::object>(vk::imported<"velkor.model", "DecoderOnlyTransformer">())(**kwargs);
        kwargs["input_dim"] = section(cfg, "data")["num_feats"];
        return py::reinterpret_borrow<py::object>(vk::imported<"velkor.model", "EncoderDecoderTransformer">())(**kwargs);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        file_error(where, "section \"model\": " + error_line(e));
    }
}

std::string shape_text(py::handle tensor) { return str(vk::call(vk::imported<"builtins", "list">(), vk::attr<"shape">(tensor))); }

// Stored weights checked against the model's own state dict: the first missing, extra or
// differently shaped tensor is named.
void check_weights(py::handle where, const py::dict& stored, py::handle model) {
    const py::dict expected = vk::call_method<"state_dict">(model);
    const std::string other = "made for another model configuration: ";
    for (const auto& [key, tensor] : expected)
        if (!stored.contains(key)) file_error(where, other + "it has no tensor \"" + str(key) + "\"");
    for (const auto& [key, tensor] : stored) {
        if (!expected.contains(key)) file_error(where, other + "its tensor \"" + str(key) + "\" is not in this model");
        if (!vk::is_tensor(tensor)) file_error(where, other + "\"" + str(key) + "\" is not a tensor");
        const std::string have = shape_text(tensor), want = shape_text(expected[key]);
        if (have != want)
            file_error(where, other + "tensor \"" + str(key) + "\" has shape " + have + " there and " + want + " in this model");
    }
}

// torch.load restricted to tensors and plain containers: a file asking for anything else is refused.
py::object load_weights_only(py::handle path, const char* what) {
    if (!exists(path)) missing(path, std::string("no ") + what);
    if (!is_file(path)) file_error(path, std::string("not a readable ") + what + " (not a regular file)");
    try {
        return vk::call(vk::imported<"torch", "load">(), path, kw<"map_location">("cpu"), kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        file_error(path, std::string("not a readable ") + what + " (" + error_line(e) + ")");
    }
}

py::dict read_checkpoint(py::handle path, py::handle model) {
    const py::object loaded = load_weights_only(path, "checkpoint");
    const py::object weights = PyDict_Check(loaded.ptr()) ? vk::get<"model_state_dict">(loaded, py::none()) : py::none();
    if (!PyDict_Check(weights.ptr()) || PyDict_GET_SIZE(weights.ptr()) == 0)
        file_error(path, "not a checkpoint of a model (no \"model_state_dict\")");
    const py::dict stored = py::reinterpret_borrow<py::dict>(weights);
    check_weights(path, stored, model);
    return stored;
}

// (mean, std) of a model trained with global_mvn as 1-D float32 tensors of num_feats values.
py::object checked_stats(py::handle where, py::handle mean, py::handle std_dev, long long num_feats) {
    py::list pair;
    for (const py::handle t : {mean, std_dev}) {
        if (!vk::is_tensor(t)) file_error(where, "feature statistics must be tensors, got " + vk::type_name(t));
        const py::tuple shape = vk::call(vk::imported<"builtins", "tuple">(), vk::attr<"shape">(t));
        if (shape.size() != 1 || py::cast<long long>(shape[0]) != num_feats)
            file_error(where, "feature statistics of shape " + shape_text(t) + ", expected [" + std::to_string(num_feats) + "]");
        pair.append(vk::call_method<"to">(vk::call_method<"detach">(t), vk::imported<"torch", "float32">()));
    }
    return py::make_tuple(pair[0], pair[1]);
}

py::object read_stats_file(py::handle root, long long num_feats) {
    const py::object path = join(root, "feature_stats.pt");
    const py::object loaded = load_weights_only(path, "file of feature statistics");
    if (!PyTuple_Check(loaded.ptr()) && !PyList_Check(loaded.ptr())) file_error(path, "not a (mean, std) pair of feature statistics");
    const py::tuple pair = vk::call(vk::imported<"builtins", "tuple">(), loaded);
    if (pair.size() != 2) file_error(path, "not a (mean, std) pair of feature statistics");
    return checked_stats(path, pair[0], pair[1], num_feats);
}

bool uses_stats(py::handle cfg) { return speech_task(task_of(cfg)) && str(section(cfg, "data")["norm"]) == "global_mvn"; }
long long num_feats_of(py::handle cfg) { return py::cast<long long>(section(cfg, "data")["num_feats"]); }

// Everything a trained model is used with.
struct Loaded {
    py::dict config;
    py::object tokenizer, model, stats = py::none();
    std::string task;
    py::dict weights;  // the state dict the model was loaded from
};

// An experiment folder (expts/<name>) or the configuration file it was trained from.
Loaded load_experiment(py::handle path_arg_value) {
    const py::object path = path_arg(path_arg_value, "path");
    py::object root, config_file;
    if (is_dir(path)) {
        root = path;
        config_file = join(path, "config.yaml");
        if (!exists(config_file)) file_error(path, "not an experiment folder (it has no config.yaml)");
    } else {
        if (!exists(path)) missing(path, "no such experiment folder or configuration file");
        config_file = path;
    }
    Loaded l;
    l.config = checked_config(config_file);
    l.task = task_of(l.config);
    if (!root) root = find_experiment(l.config, config_file);
    const py::object checkpoint = vk::call(vk::imported<"os.path", "join">(), root, "checkpoints", kBestCheckpoint);
    if (!exists(checkpoint)) missing(checkpoint, "no trained model here: train the configuration first (`velkor train`)");
    l.tokenizer = build_tokenizer(l.config, root);
    l.model = build_model(l.config, l.tokenizer, config_file);
    l.weights = read_checkpoint(checkpoint, l.model);
    vk::call_method<"load_state_dict">(l.model, l.weights);
    if (uses_stats(l.config)) l.stats = read_stats_file(root, num_feats_of(l.config));
    return l;
}

// ---------------------------------------------------------------------------------------------
// Model files

std::string json_text(py::handle value, py::handle where, const char* what) {
    try {
        return str(vk::call(vk::imported<"json", "dumps">(), value, kw<"ensure_ascii">(false), kw<"allow_nan">(false)));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        file_error(where, std::string("the ") + what + " cannot be stored as JSON in a model file: " + error_line(e));
    }
}

// What BrixTokenizer.save writes, which must be JSON to travel in the file's header.
std::string tokenizer_json(py::handle tokenizer, py::handle where) {
    const ScratchDir scratch;
    const py::object file = scratch.file("tokenizer.json");
    vk::call_method<"save">(tokenizer, file);
    const py::object text = read_text(file);
    try {
        vk::call(vk::imported<"json", "loads">(), text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        file_error(where, "the tokenizer cannot be stored in a model file: what it saves is not JSON (" + error_line(e) + ")");
    }
    return str(text);
}

py::object export_model(py::handle, const vk::Args<"experiment, out_path">& a) {
    const py::object out = path_arg(a.get<"out_path">(), "out_path");
    const Loaded l = load_experiment(a.get<"experiment">());
    py::dict tensors;
    for (const auto& [key, tensor] : l.weights) {
        // Copies: tied weights share storage, which safetensors refuses to write twice.
        const py::object t =
            vk::call_method<"clone">(vk::call_method<"contiguous">(vk::call_method<"cpu">(vk::call_method<"detach">(tensor))));
        tensors[py::str("model." + str(key))] = t;
    }
    if (!l.stats.is_none()) {
        const py::tuple pair = l.stats;
        tensors["stats.mean"] = vk::call_method<"clone">(vk::call_method<"contiguous">(pair[0]));
        tensors["stats.std"] = vk::call_method<"clone">(vk::call_method<"contiguous">(pair[1]));
    }
    py::dict metadata;
    metadata["format"] = kFormat;
    metadata["version"] = kVersion;
    metadata["task"] = l.task;
    metadata["config"] = json_text(l.config, a.get<"experiment">(), "configuration");
    metadata["tokenizer"] = tokenizer_json(l.tokenizer, a.get<"experiment">());
    const py::object parent = dirname(out);
    if (!str(parent).empty()) vk::call(vk::imported<"os", "makedirs">(), parent, kw<"exist_ok">(true));
    // Written beside the target and moved over it: a reader never sees half a file.
    const py::object partial = py::str(str(out) + ".partial");
    try {
        vk::call(vk::imported<"safetensors.torch", "save_file">(), tensors, partial, kw<"metadata">(metadata));
        vk::call(vk::imported<"os", "replace">(), partial, out);
    } catch (...) {
        if (exists(partial)) vk::call(vk::imported<"os", "remove">(), partial);
        throw;
    }
    return out;
}

// The header of a model file, checked: format, version, task, configuration and tokenizer.
struct Header {
    py::dict config;
    py::object tokenizer;
    std::string task;
};

py::object header_json(py::handle path, py::handle metadata, const char* key) {
    const py::object text = py::reinterpret_borrow<py::dict>(metadata)[key];
    try {
        return vk::call(vk::imported<"json", "loads">(), text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        file_error(path, std::string("damaged model file: its \"") + key + "\" is not JSON (" + error_line(e) + ")");
    }
}

Header read_header(py::handle path, py::handle metadata) {
    const std::string not_ours = "not a velkor model file";
    if (!PyDict_Check(metadata.ptr())) file_error(path, not_ours + " (a safetensors file without a header of ours)");
    const py::dict meta = py::reinterpret_borrow<py::dict>(metadata);
    if (!meta.contains("format") || str(meta["format"]) != kFormat)
        file_error(path, not_ours + " (its header has no \"format\": \"" + kFormat + "\")");
    if (!meta.contains("version") || str(meta["version"]) != kVersion)
        file_error(path, "model file version " + (meta.contains("version") ? str(meta["version"]) : std::string("(none)")) +
                             ": this velkor reads version " + kVersion);
    for (const char* key : {"task", "config", "tokenizer"})
        if (!meta.contains(key)) file_error(path, std::string("damaged model file: its header has no \"") + key + "\"");
    Header h;
    h.task = str(meta["task"]);
    if (h.task != "asr" && h.task != "progressive" && h.task != "lm")
        file_error(path, "damaged model file: unknown task \"" + h.task + "\"");
    const py::object config = header_json(path, meta, "config");
    if (!PyDict_Check(config.ptr())) file_error(path, "damaged model file: its configuration is not a mapping");
    const py::object tokenizer = header_json(path, meta, "tokenizer");
    if (!PyDict_Check(tokenizer.ptr())) file_error(path, "damaged model file: its tokenizer is not a mapping");
    // The configuration goes through the same checks as a configuration file; the tokenizer is
    // rebuilt by BrixTokenizer.load from what its save wrote.
    const ScratchDir scratch;
    const py::object config_file = scratch.file("config.yaml");
    write_text(config_file, meta["config"]);
    try {
        h.config = checked_config(config_file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        std::string message = first_line(e.value());
        const std::string scratch_name = str(config_file);
        for (std::size_t at = message.find(scratch_name); at != std::string::npos; at = message.find(scratch_name))
            message.replace(at, scratch_name.size(), "configuration");
        file_error(path, "its " + message);
    }
    if (task_of(h.config) != h.task) file_error(path, "damaged model file: its task \"" + h.task + "\" is not its configuration's");
    const py::object tokenizer_file = scratch.file("tokenizer.json");
    write_text(tokenizer_file, meta["tokenizer"]);
    try {
        h.tokenizer = vk::call(vk::attr<"load">(vk::imported<"velkor.data", "BrixTokenizer">()), tokenizer_file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        file_error(path, "damaged model file: its tokenizer cannot be rebuilt (" + error_line(e) + ")");
    }
    return h;
}

Loaded load_model_file(py::handle path_arg_value) {
    const py::object path = path_arg(path_arg_value, "path");
    if (!exists(path)) missing(path, "no such model file");
    if (!is_file(path)) file_error(path, "not a model file (not a regular file)");
    py::object handle, metadata;
    py::list keys;
    try {
        handle = vk::call(vk::imported<"safetensors", "safe_open">(), path, kw<"framework">("pt"), kw<"device">("cpu"));
        metadata = vk::call_method<"metadata">(handle);
        keys = vk::call(vk::imported<"builtins", "list">(), vk::call_method<"keys">(handle));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        file_error(path, "not a velkor model file (not a readable safetensors file: " + error_line(e) + ")");
    }
    const Header h = read_header(path, metadata);
    Loaded l;
    l.config = h.config;
    l.task = h.task;
    l.tokenizer = h.tokenizer;
    py::object mean = py::none(), std_dev = py::none();
    for (const py::handle key_obj : keys) {
        const std::string key = str(key_obj);
        py::object tensor;
        try {
            tensor = vk::call_method<"get_tensor">(handle, key_obj);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            file_error(path, "damaged model file: tensor \"" + key + "\" cannot be read (" + error_line(e) + ")");
        }
        if (key.rfind("model.", 0) == 0) {
            l.weights[py::str(key.substr(6))] = tensor;
        } else if (key == "stats.mean") {
            mean = tensor;
        } else if (key == "stats.std") {
            std_dev = tensor;
        } else {
            file_error(path, "damaged model file: unexpected tensor \"" + key + "\"");
        }
    }
    if (uses_stats(l.config)) {
        if (mean.is_none() || std_dev.is_none())
            file_error(path, "damaged model file: the model normalizes with feature statistics it does not hold");
        l.stats = checked_stats(path, mean, std_dev, num_feats_of(l.config));
    } else if (!mean.is_none() || !std_dev.is_none()) {
        file_error(path, "damaged model file: feature statistics for a model that does not use them");
    }
    l.model = build_model(l.config, l.tokenizer, path);
    check_weights(path, l.weights, l.model);
    vk::call_method<"load_state_dict">(l.model, l.weights);
    return l;
}

py::object read_model_file(py::handle, const vk::Args<"path">& a) {
    const Loaded l = load_model_file(a.get<"path">());
    py::dict out;
    out["config"] = l.config;
    out["tokenizer"] = l.tokenizer;
    out["state_dict"] = l.weights;
    out["stats"] = l.stats;
    out["task"] = l.task;
    return out;
}

// A file given as a model: a folder or a YAML file is an experiment, anything else a model file.
bool names_experiment(py::handle path) {
    if (is_dir(path)) return true;
    const std::string s = vk::display(path);
    const auto ends = [&](const char* suffix) {
        const std::string x(suffix);
        return s.size() >= x.size() && s.compare(s.size() - x.size(), x.size(), x) == 0;
    };
    return ends(".yaml") || ends(".yml");
}

Loaded load_any(py::handle path) { return names_experiment(path_arg(path, "path")) ? load_experiment(path) : load_model_file(path); }

// ---------------------------------------------------------------------------------------------
// Long recordings: cut points at the quietest moments

// Cuts [0, frames) into pieces of at most `limit` frames. Each cut after the first piece's start
// is the position of lowest cost within the last quarter of the limit (at most `window` frames)
// before the piece would grow too long; on ties the later one. `cost(c)` is the loudness around
// position c.
template <class Cost>
std::vector<long long> cut_points(long long frames, long long limit, Cost&& cost) {
    std::vector<long long> cuts{0};
    const long long window = std::max(1LL, std::min(limit / 4, 300LL));
    long long start = 0;
    while (frames - start > limit) {
        long long best = start + limit;
        double lowest = cost(best);
        for (long long c = start + limit - 1; c >= start + limit - window; --c) {
            const double v = cost(c);
            if (v < lowest) {
                lowest = v;
                best = c;
            }
        }
        cuts.push_back(best);
        start = best;
    }
    return cuts;
}

void check_limit(long long max_frames) {
    if (max_frames < 8) throw py::value_error("max_frames must be at least 8, got " + std::to_string(max_frames));
}

// [start, end) sample ranges of 16 kHz samples cut where the signal is quietest, each giving at
// most max_frames filter-bank frames. Cuts fall on frame starts (multiples of 10 ms); the energy
// at a cut is that of the 25 ms around it.
std::vector<std::pair<long long, long long>> split_samples(const py::array_t<float>& samples, long long max_frames) {
    check_limit(max_frames);
    const long long n = samples.size();
    const long long frames = vkdomain::frames_of(n);
    if (frames <= max_frames) return {{0, n}};
    const float* x = samples.data();
    std::vector<double> cumulative(static_cast<std::size_t>(n) + 1, 0.0);
    for (long long i = 0; i < n; ++i)
        cumulative[static_cast<std::size_t>(i + 1)] = cumulative[static_cast<std::size_t>(i)] + double(x[i]) * x[i];
    const long long half = vkdomain::kMinSamples / 2;
    const auto cost = [&](long long c) {
        const long long mid = c * vkdomain::kFrameShift;
        const long long lo = std::max(0LL, mid - half), hi = std::min(n, mid + half);
        return cumulative[static_cast<std::size_t>(hi)] - cumulative[static_cast<std::size_t>(lo)];
    };
    // A piece [a, b) of whole hops has b - a - 2 frames, and the last one, to the end, frames - a:
    // both within the limit when pieces start at most `limit` hops apart and the last starts at
    // frames - limit or later.
    const std::vector<long long> cuts = cut_points(frames, max_frames, cost);
    std::vector<std::pair<long long, long long>> pieces;
    for (std::size_t i = 0; i < cuts.size(); ++i)
        pieces.emplace_back(cuts[i] * vkdomain::kFrameShift, i + 1 < cuts.size() ? cuts[i + 1] * vkdomain::kFrameShift : n);
    return pieces;
}

// [start, end) frame ranges of filter banks (bins, frames), cut where their mean log-energy is lowest.
std::vector<std::pair<long long, long long>> split_frames(const py::array_t<float>& fbank, long long max_frames) {
    check_limit(max_frames);
    const long long bins = fbank.shape(0), frames = fbank.shape(1);
    if (frames <= max_frames) return {{0, frames}};
    std::vector<double> energy(static_cast<std::size_t>(frames), 0.0);
    const float* f = fbank.data();
    for (long long b = 0; b < bins; ++b)
        for (long long t = 0; t < frames; ++t) energy[static_cast<std::size_t>(t)] += f[b * frames + t];
    const std::vector<long long> cuts = cut_points(frames, max_frames, [&](long long c) { return energy[static_cast<std::size_t>(c)]; });
    std::vector<std::pair<long long, long long>> pieces;
    for (std::size_t i = 0; i < cuts.size(); ++i) pieces.emplace_back(cuts[i], i + 1 < cuts.size() ? cuts[i + 1] : frames);
    return pieces;
}

py::array_t<float> float_samples(py::handle samples) {
    const py::object x = vk::call(vk::imported<"numpy", "ascontiguousarray">(), samples, kw<"dtype">(vk::imported<"numpy", "float32">()));
    auto arr = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(x);
    if (!arr || arr.ndim() != 1) throw py::value_error("samples must be a 1-D array");
    return arr;
}

py::object split_waveform(py::handle, const vk::Args<"samples, max_frames">& a) {
    const py::array_t<float> samples = float_samples(a.get<"samples">());
    py::list out;
    for (const auto& [s, e] : split_samples(samples, a.integer<"max_frames">())) out.append(py::make_tuple(s, e));
    return out;
}

// ---------------------------------------------------------------------------------------------
// Language models

// A model on `device`, in evaluation mode.
py::object placed_model(py::handle model, py::handle device) {
    py::object placed = vk::call_method<"to">(model, device);
    vk::call_method<"eval">(placed);
    return placed;
}

// What a LanguageModel and a Recognizer both hold.
void set_model_attrs(py::handle self, py::handle model, py::handle tokenizer, const py::dict& config, py::handle device) {
    vk::set_attr<"model">(self, model);
    vk::set_attr<"tokenizer">(self, tokenizer);
    vk::set_attr<"config">(self, config);
    vk::set_attr<"device">(self, device);
}

py::object init_language_model(py::handle self, const vk::Args<"model, tokenizer, config, device=None">& a) {
    const py::dict config = vk::exact_dict(a.get<"config">(), "config");
    if (task_of(config) != "lm")
        throw py::value_error("LanguageModel needs a language model (task \"lm\"), got task \"" + task_of(config) + "\"");
    const py::object device = default_device(a.get<"device">());
    set_model_attrs(self, placed_model(a.get<"model">(), device), a.get<"tokenizer">(), config, device);
    return py::none();
}

py::object new_language_model(const Loaded& l, py::handle path, py::handle device) {
    if (l.task != "lm") file_error(path, "not a language model (its task is \"" + l.task + "\")");
    return vk::call(language_model_class, l.model, l.tokenizer, l.config, device);
}

py::object lm_from_experiment(py::handle, const vk::Args<"path, device=None">& a) {
    return new_language_model(load_experiment(a.get<"path">()), a.get<"path">(), a.get<"device">());
}
py::object lm_from_file(py::handle, const vk::Args<"path, device=None">& a) {
    return new_language_model(load_model_file(a.get<"path">()), a.get<"path">(), a.get<"device">());
}

bool greater_than_zero(double v) { return v > 0.0; }

using GenerateArgs =
    vk::Args<"prompt='', *, num=1, max_length=100, temperature=1.0, top_k=0, top_p=0.0, beam_width=1, length_penalty=0.0, seed=None">;

// Sampling when top_k or top_p is set (seeded, without touching the global random state), else
// beam search with beam_width > 1 (the num best), else greedy search; as the LM trainer generates.
py::object lm_generate(py::handle self, const GenerateArgs& a) {
    const std::string prompt = a.text<"prompt">();
    const long long num = a.integer<"num">(), max_length = a.integer<"max_length">();
    const long long top_k = a.integer<"top_k">(), beam_width = a.integer<"beam_width">();
    const double temperature = a.real<"temperature">(), top_p = a.real<"top_p">();
    if (num < 1 || num > 10000) throw py::value_error("num must be between 1 and 10000, got " + std::to_string(num));
    if (max_length < 0) throw py::value_error("max_length must not be negative, got " + std::to_string(max_length));
    if (!(temperature > 0.0) || !std::isfinite(temperature))
        throw py::value_error("temperature must be a positive number, got " + vk::float_text(temperature));
    if (top_k < 0) throw py::value_error("top_k must not be negative, got " + std::to_string(top_k));
    if (!(top_p >= 0.0 && top_p <= 1.0)) throw py::value_error("top_p must be between 0 and 1, got " + vk::float_text(top_p));
    if (beam_width < 1 || beam_width > 1024)
        throw py::value_error("beam_width must be between 1 and 1024, got " + std::to_string(beam_width));
    const bool sampling = top_k > 0 || greater_than_zero(top_p);
    if (!sampling && beam_width > 1 && num > beam_width)
        throw py::value_error("num (" + std::to_string(num) + ") cannot exceed beam_width (" + std::to_string(beam_width) + ")");
    if (!a.is_none<"seed">()) vk::exact_int(a.get<"seed">(), "seed");

    const py::object model = vk::attr<"model">(self), tokenizer = vk::attr<"tokenizer">(self), device = vk::attr<"device">(self);
    py::list ids;
    ids.append(vk::attr<"sos_id">(tokenizer));
    for (const py::handle id : py::list(vk::call_method<"encode">(tokenizer, py::str(prompt)))) ids.append(id);
    const long long limit = py::cast<long long>(vk::attr<"max_len">(model));
    if (static_cast<long long>(ids.size()) >= limit)
        throw py::value_error("the prompt has " + std::to_string(ids.size() - 1) + " tokens; the model takes fewer than " +
                              std::to_string(limit));
    const long long rows = sampling || beam_width == 1 ? num : 1;
    py::list prompt_rows;
    for (long long r = 0; r < rows; ++r) prompt_rows.append(ids);
    const py::object x =
        vk::call(vk::imported<"torch", "tensor">(), prompt_rows, kw<"dtype">(vk::imported<"torch", "long">()), kw<"device">(device));
    const py::object score_fn =
        vkdomain::offers_incremental(model) ? vk::call_method<"incremental_scorer">(model) : vk::attr<"score">(model);
    const py::object generator = vk::call(vk::imported<"velkor.decoding.maravex", "SequenceGenerator">(), score_fn, tokenizer,
                                          static_cast<long long>(ids.size()) + max_length, device);
    py::object sequences;
    vk::with_block(inference_mode(), [&] {
        if (sampling) {
            py::list devices;
            if (str(device).rfind("cuda", 0) == 0) devices.append(vk::call(vk::imported<"torch.cuda", "current_device">()));
            vk::with_block(vk::call(vk::imported<"torch.random", "fork_rng">(), kw<"devices">(devices)), [&] {
                if (!a.is_none<"seed">()) vk::call(vk::imported<"torch", "manual_seed">(), a.get<"seed">());
                sequences = vk::unpack<2>(vk::call_method<"generate_sample">(
                    generator, x, kw<"temperature">(temperature), kw<"top_k">(top_k), kw<"top_p">(top_p > 0.0 ? top_p : 1.0)))[0];
            });
        } else if (beam_width > 1) {
            const py::object beams =
                vk::unpack<2>(vk::call_method<"generate_beam">(generator, x, beam_width, temperature, 1.0, a.get<"length_penalty">()))[0];
            sequences = vk::call_method<"__getitem__">(vk::call_method<"select">(beams, 0, 0), py::slice(0, num, 1));
        } else {
            sequences = vk::unpack<2>(vk::call_method<"generate_greedy">(generator, x, temperature))[0];
        }
    });
    const long long eos = py::cast<long long>(vk::attr<"eos_id">(tokenizer));
    py::list texts;
    for (const py::handle row : py::list(vk::call_method<"tolist">(sequences))) {
        py::list kept;
        for (const py::handle id : py::reinterpret_borrow<py::list>(row)) {
            if (py::cast<long long>(id) == eos) break;
            kept.append(id);
        }
        texts.append(vk::call_method<"decode">(tokenizer, kept, kw<"skip_special_tokens">(true)));
    }
    return texts;
}

// ---------------------------------------------------------------------------------------------
// Recognizer: construction

// Two tokenizers that map every id to the same token.
bool same_vocabulary(py::handle a, py::handle b) {
    const long long n = py::cast<long long>(vk::attr<"num_classes">(a));
    if (n != py::cast<long long>(vk::attr<"num_classes">(b))) return false;
    const auto lower = [](py::handle t) { return vk::has_attr<"lowercase">(t) && vk::truthy(vk::attr<"lowercase">(t)); };
    if (lower(a) != lower(b)) return false;
    for (long long i = 0; i < n; ++i) {
        py::list id;
        id.append(i);
        if (str(vk::call_method<"decode">(a, id)) != str(vk::call_method<"decode">(b, id))) return false;
    }
    return true;
}

long long time_reduction(py::handle config) {
    const py::dict model = section(config, "model");
    return model.contains("time_reduction") ? std::max(1LL, py::cast<long long>(model["time_reduction"])) : 4;
}

// Frames of the longest input the model takes whole: its encoder frames after time reduction
// must fit the positional table (max_len), with a margin for the front-end's rounding.
long long frame_limit(py::handle model, py::handle config) {
    const long long max_len = py::cast<long long>(vk::attr<"max_len">(model));
    const long long margin = std::max(2LL, max_len / 20);
    return std::max(8LL, (max_len - margin) * time_reduction(config));
}

// Frames of the shortest input the front-end takes (its convolutions and the reduced length of
// its LSTM need a few); shorter pieces are padded with zeros (the mean, once normalized).
long long shortest_input(py::handle config) { return 4 * time_reduction(config) + 8; }

using RecognizerInitArgs = vk::Args<"model, tokenizer, config, stats=None, lm=None, device=None">;

py::object init_recognizer(py::handle self, const RecognizerInitArgs& a) {
    const py::dict config = vk::exact_dict(a.get<"config">(), "config");
    if (!speech_task(task_of(config)))
        throw py::value_error("Recognizer needs a speech model (task \"asr\" or \"progressive\"), got task \"" + task_of(config) + "\"");
    const py::object device = default_device(a.get<"device">());
    const py::object model = placed_model(a.get<"model">(), device);
    py::object stats = py::reinterpret_borrow<py::object>(a.get<"stats">());
    const long long num_feats = num_feats_of(config);
    if (!stats.is_none()) {
        const py::tuple pair = vk::call(vk::imported<"builtins", "tuple">(), stats);
        if (pair.size() != 2) throw py::value_error("stats must be a (mean, std) pair of tensors");
        stats = checked_stats(py::str("stats"), vk::call_method<"cpu">(pair[0]), vk::call_method<"cpu">(pair[1]), num_feats);
    } else if (uses_stats(config)) {
        throw py::value_error("the model normalizes its features with global statistics (data.norm global_mvn): stats are required");
    }
    py::object lm = py::reinterpret_borrow<py::object>(a.get<"lm">());
    if (!lm.is_none() && !vk::is_instance(lm, language_model_class)) {
        const Loaded l = load_any(lm);
        lm = new_language_model(l, lm, device);
    }
    if (!lm.is_none()) {
        if (!same_vocabulary(vk::attr<"tokenizer">(lm), a.get<"tokenizer">()))
            throw py::value_error("the language model's tokenizer differs from the speech model's: they must share one vocabulary");
        placed_model(vk::attr<"model">(lm), device);
    }
    set_model_attrs(self, model, a.get<"tokenizer">(), config, device);
    vk::set_attr<"stats">(self, stats);
    vk::set_attr<"lm">(self, lm);
    vk::set_attr<"num_feats">(self, py::int_(num_feats));
    vk::set_attr<"max_frames">(self, py::int_(frame_limit(model, config)));
    return py::none();
}

py::object new_recognizer(const Loaded& l, py::handle path, py::handle lm, py::handle device) {
    if (!speech_task(l.task)) file_error(path, "not a speech model (its task is \"" + l.task + "\")");
    return vk::call(recognizer_class, l.model, l.tokenizer, l.config, l.stats, lm, device);
}

py::object rec_from_experiment(py::handle, const vk::Args<"path, lm=None, device=None">& a) {
    return new_recognizer(load_experiment(a.get<"path">()), a.get<"path">(), a.get<"lm">(), a.get<"device">());
}
py::object rec_from_file(py::handle, const vk::Args<"path, lm=None, device=None">& a) {
    return new_recognizer(load_model_file(a.get<"path">()), a.get<"path">(), a.get<"lm">(), a.get<"device">());
}

// ---------------------------------------------------------------------------------------------
// Recognizer: features

// One input's result as it is assembled.
struct Job {
    std::string name;
    std::optional<std::string> error;
    py::object seconds = py::none();
    std::vector<std::pair<double, double>> segments;
    std::vector<py::object> texts;  // per piece
    std::vector<long long> tokens;
    double score = 0.0, decode_seconds = 0.0;
};

// A piece of an input ready for the model: normalized features (frames, num_feats).
struct Piece {
    std::size_t job;
    std::size_t index;  // within its input
    py::object features;
    long long frames;
};

struct Normalizer {
    std::string norm;
    py::object mean, std_dev;

    // Normalized as the datasets do, on (num_feats, frames) float32; returns (frames, num_feats).
    py::object operator()(py::handle fbank) const {
        py::object x = vk::call(vk::imported<"torch", "as_tensor">(), fbank, kw<"dtype">(vk::imported<"torch", "float32">()));
        if (norm == "global_mvn") {
            const py::object centered = vk::call(vk::imported<"torch", "sub">(), x, vk::call_method<"unsqueeze">(mean, 1));
            x = vk::call(vk::imported<"torch", "div">(), centered, vk::add(vk::call_method<"unsqueeze">(std_dev, 1), py::float_(1e-8)));
        } else if (norm == "cepstral") {
            const py::object m = vk::call_method<"mean">(x, kw<"dim">(1), kw<"keepdim">(true));
            const py::object s = vk::call_method<"std">(x, kw<"dim">(1), kw<"keepdim">(true));
            x = vk::call(vk::imported<"torch", "div">(), vk::call(vk::imported<"torch", "sub">(), x, m), vk::add(s, py::float_(1e-8)));
        }
        return vk::call_method<"transpose">(x, 0, 1);
    }
};

bool is_array(py::handle x) { return vk::is_instance(x, vk::imported<"numpy", "ndarray">()) || vk::is_tensor(x); }

py::object as_numpy(py::handle x) {
    if (vk::is_tensor(x)) return vk::call_method<"numpy">(vk::call_method<"cpu">(vk::call_method<"detach">(x)));
    return py::reinterpret_borrow<py::object>(x);
}

struct Prepared {
    std::vector<py::array_t<float>> fbanks;  // (num_feats, frames) per piece
};

// The pieces of one input, filling its name, duration and segments; throws a one-line reason
// when the input cannot be used.
Prepared prepare_input(py::handle input, std::size_t position, py::handle sample_rate, long long num_feats, long long max_frames,
                       Job& job) {
    Prepared out;
    const auto from_samples = [&](py::handle samples, long long rate, double seconds) {
        if (const auto why = vkdomain::unusable_samples(samples, rate)) throw std::runtime_error(*why);
        const py::array_t<float> x = vkdomain::to_feature_rate(samples, rate);
        job.seconds = py::float_(seconds);
        for (const auto& [s, e] : split_samples(x, max_frames)) {
            const py::object piece = vk::call_method<"__getitem__">(x, py::slice(s, e, 1));
            const py::array_t<float> fbank = vkdomain::fbank_16k(py::array_t<float>::ensure(piece), num_feats);
            if (fbank.shape(1) == 0) throw std::runtime_error("shorter than one 25 ms frame");
            if (!vkdomain::all_finite(fbank)) throw std::runtime_error(vkdomain::kFeaturesTooLarge);
            out.fbanks.push_back(fbank);
            job.segments.emplace_back(double(s) / vkdomain::kFeatureRate, double(e) / vkdomain::kFeatureRate);
        }
    };
    if (PyUnicode_Check(input.ptr()) || vk::is_instance(input, vk::imported<"os", "PathLike">())) {
        const py::object path = vk::call(vk::imported<"os", "fsdecode">(), vk::call(vk::imported<"os", "fspath">(), input));
        job.name = vk::display(path);
        if (!exists(path)) throw std::runtime_error("no such file");
        if (!is_file(path)) throw std::runtime_error("not a regular file");
        vkdomain::Audio audio;
        if (const auto why = vkdomain::read_audio(path, audio)) throw std::runtime_error(*why);
        from_samples(audio.mono, audio.rate, audio.seconds());
        return out;
    }
    job.name = "<array " + std::to_string(position) + ">";
    if (!is_array(input)) throw std::runtime_error("not an audio file path or an array: " + vk::type_name(input));
    const py::object x = as_numpy(input);
    const long long ndim = py::cast<long long>(vk::attr<"ndim">(x));
    const std::string kind = str(vk::attr<"kind">(vk::attr<"dtype">(x)));
    if (ndim == 1) {
        if (sample_rate.is_none()) throw std::runtime_error("a waveform needs sample_rate=");
        if (kind != "f" && kind != "i" && kind != "u")
            throw std::runtime_error("a waveform must be numeric, got dtype " + vk::text(vk::attr<"dtype">(x)));
        const long long rate = vk::exact_int(sample_rate, "sample_rate");
        if (rate <= 0) throw std::runtime_error("sample_rate must be positive, got " + std::to_string(rate));
        from_samples(x, rate, double(py::len(x)) / double(rate));
        return out;
    }
    if (ndim != 2)
        throw std::runtime_error("an array must be a waveform (1-D) or filter banks (2-D), got " + std::to_string(ndim) + " dimensions");
    if (kind != "f") throw std::runtime_error("filter banks must be floating-point, got dtype " + vk::text(vk::attr<"dtype">(x)));
    const py::tuple shape = vk::attr<"shape">(x);
    if (py::cast<long long>(shape[0]) != num_feats)
        throw std::runtime_error("filter banks must be (num_feats, frames) with num_feats " + std::to_string(num_feats) + ", got shape (" +
                                 str(shape[0]) + ", " + str(shape[1]) + ")");
    const long long frames = py::cast<long long>(shape[1]);
    if (frames < 1) throw std::runtime_error("filter banks of no frames");
    const py::array_t<float> fbank = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
        vk::call(vk::imported<"numpy", "ascontiguousarray">(), x, kw<"dtype">(vk::imported<"numpy", "float32">())));
    if (!fbank) throw py::error_already_set();
    if (!vkdomain::all_finite(fbank)) throw std::runtime_error("filter banks that are not finite numbers");
    job.seconds = py::float_(double(frames) / 100.0);
    for (const auto& [s, e] : split_frames(fbank, max_frames)) {
        const py::object piece = vk::call_method<"__getitem__">(fbank, py::make_tuple(py::slice(0, num_feats, 1), py::slice(s, e, 1)));
        out.fbanks.push_back(py::array_t<float>::ensure(piece));
        job.segments.emplace_back(double(s) / 100.0, double(e) / 100.0);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Recognizer: decoding

struct Decoding {
    long long beam = 1;
    double ctc_weight = 0.0, lm_weight = 0.0;
    py::object temperature, repeat_penalty, max_length;  // max_length None: from the input
    py::object lm_model = py::none();
};

// The scorer of one batch, as the trainer's recognition builds it: the decoder's incremental
// scorer, fused with the language model's, mixed with the CTC prefix scores when ctc_weight > 0.
py::object batch_scorer(const Decoding& d, py::handle model, py::handle tokenizer, py::handle enc_output, py::handle mask,
                        py::handle ctc_inputs) {
    py::object scorer;
    const bool incremental = vkdomain::offers_incremental(model) && (d.lm_model.is_none() || vkdomain::offers_incremental(d.lm_model));
    if (incremental) {
        scorer = vk::call_method<"incremental_scorer">(model, enc_output, mask);
        if (!d.lm_model.is_none())
            scorer = vk::call(vk::imported<"velkor.decoding.maravex", "FusedScorer">(), scorer,
                              vk::call_method<"incremental_scorer">(d.lm_model), d.lm_weight);
    } else {
        if (!d.lm_model.is_none()) throw py::value_error("fusion with a language model needs models that offer incremental_scorer");
        scorer = vk::call(vk::imported<"functools", "partial">(), vk::attr<"score">(model), kw<"enc_output">(enc_output),
                          kw<"src_pad_mask">(mask));
    }
    if (d.ctc_weight == 0.0) return scorer;
    const py::object prefix = vk::call(vk::imported<"velkor.decoding.ctc", "CTCPrefixScorer">(), vk::item<"log_probs">(ctc_inputs),
                                       vk::item<"lengths">(ctc_inputs), tokenizer);
    return vk::call(vk::imported<"velkor.decoding.ctc", "JointScorer">(), scorer, prefix, d.ctc_weight);
}

struct BatchResult {
    std::vector<std::vector<long long>> tokens;
    std::vector<double> scores;
};

BatchResult decode_batch(const Decoding& d, py::handle model, py::handle tokenizer, py::handle device, const std::vector<Piece*>& batch) {
    py::list feats, lengths;
    for (const Piece* p : batch) {
        feats.append(p->features);
        lengths.append(p->frames);
    }
    const py::object padded = vk::call_method<"to">(
        vk::call(vk::imported<"torch.nn.utils.rnn", "pad_sequence">(), feats, kw<"batch_first">(true), kw<"padding_value">(0.0)), device);
    const py::object length_tensor =
        vk::call(vk::imported<"torch", "tensor">(), lengths, kw<"dtype">(vk::imported<"torch", "long">()), kw<"device">(device));
    const auto [enc_output, mask, enc_attention, ctc_inputs] =
        vk::unpack<4>(vk::call_method<"encode">(model, padded, length_tensor, kw<"need_weights">(false)));
    py::object max_length = d.max_length;
    const long long model_limit = py::cast<long long>(vk::attr<"max_len">(model));
    if (max_length.is_none()) {
        // A transcript the CTC head could align has no more tokens than encoder frames.
        const long long frames = py::cast<long long>(vk::call_method<"item">(vk::call_method<"max">(vk::item<"lengths">(ctc_inputs))));
        max_length = py::int_(std::min(model_limit, frames + 10));
    }
    const py::object generator = vk::call(vk::imported<"velkor.decoding.maravex", "SequenceGenerator">(),
                                          batch_scorer(d, model, tokenizer, enc_output, mask, ctc_inputs), tokenizer, max_length, device);
    const long long sos = py::cast<long long>(vk::attr<"sos_id">(tokenizer));
    const py::object prompts = vk::call(vk::imported<"torch", "full">(), py::make_tuple(static_cast<long long>(batch.size()), 1), sos,
                                        kw<"dtype">(vk::imported<"torch", "long">()), kw<"device">(device));
    py::object sequences, scores;
    if (d.beam == 1) {
        const auto out = vk::unpack<2>(vk::call_method<"generate_greedy">(generator, prompts, d.temperature));
        sequences = out[0];
        scores = out[1];
    } else {
        const auto out = vk::unpack<2>(vk::call_method<"generate_beam">(generator, prompts, d.beam, d.temperature, d.repeat_penalty));
        sequences = vk::call_method<"select">(out[0], 1, 0);
        scores = vk::call_method<"select">(out[1], 1, 0);
    }
    const long long eos = py::cast<long long>(vk::attr<"eos_id">(tokenizer));
    const long long pad = vk::has_attr<"pad_id">(tokenizer) ? py::cast<long long>(vk::attr<"pad_id">(tokenizer)) : 0;
    BatchResult r;
    const py::list rows = vk::call_method<"tolist">(sequences);
    const py::list row_scores = vk::call_method<"tolist">(scores);
    if (rows.size() != batch.size() || row_scores.size() != batch.size())
        throw std::runtime_error("the generator returned a different number of hypotheses than inputs");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::vector<long long> ids;
        // What the tokenizer decodes with skip_special_tokens, up to the first end token.
        for (const py::handle v : py::reinterpret_borrow<py::list>(rows[i])) {
            const long long id = py::cast<long long>(v);
            if (id == eos) break;
            if (id != pad && id != sos) ids.push_back(id);
        }
        r.tokens.push_back(std::move(ids));
        r.scores.push_back(py::cast<double>(row_scores[i]));
    }
    return r;
}

using TranscribeArgs =
    vk::Args<"inputs, *, sample_rate=None, beam_width=1, ctc_weight=None, lm_weight=0.3, batch_size=8, max_length=None, progress=False">;

// The CTC weight a model was trained for: the configured joint weight, else 0.3 with a CTC loss.
double trained_ctc_weight(py::handle config) {
    const py::dict rec = section(config, "recognition");
    const py::dict loss = py::reinterpret_borrow<py::dict>(config).contains("loss") ? section(config, "loss") : py::dict();
    const bool has_ctc = loss.contains("ctc_weight") && py::cast<double>(loss["ctc_weight"]) > 0.0;
    if (!has_ctc) return 0.0;
    return rec.contains("ctc_weight") ? py::cast<double>(rec["ctc_weight"]) : 0.3;
}

std::vector<py::object> input_list(py::handle inputs) {
    std::vector<py::object> items;
    if (PyList_Check(inputs.ptr()) || PyTuple_Check(inputs.ptr())) {
        for (const py::handle x : py::reinterpret_borrow<py::sequence>(inputs)) items.push_back(py::reinterpret_borrow<py::object>(x));
    } else {
        items.push_back(py::reinterpret_borrow<py::object>(inputs));
    }
    return items;
}

// What a Recognizer decodes with, read once per call.
struct RecognizerParts {
    py::object model, tokenizer, device;
    py::dict config;
};

RecognizerParts parts_of(py::handle self) {
    RecognizerParts r{vk::attr<"model">(self), vk::attr<"tokenizer">(self), vk::attr<"device">(self), py::dict()};
    r.config = vk::attr<"config">(self);
    return r;
}

// Beam width, CTC weight and language-model fusion, checked; an unset CTC weight is the trained one.
Decoding scoring_options(py::handle self, const RecognizerParts& r, const TranscribeArgs& a) {
    Decoding d;
    d.beam = a.integer<"beam_width">();
    if (d.beam < 1 || d.beam > 1024) throw py::value_error("beam_width must be between 1 and 1024, got " + std::to_string(d.beam));
    d.ctc_weight =
        a.is_none<"ctc_weight">() ? trained_ctc_weight(r.config) : vkdomain::checked_weight(a.real<"ctc_weight">(), "ctc_weight", 1.0);
    if (d.ctc_weight > 0.0 && !vk::has_attr<"encode">(r.model)) throw py::value_error("ctc_weight needs a model with a CTC head");
    const double lm_weight = vkdomain::checked_weight(a.real<"lm_weight">(), "lm_weight");
    const py::object lm = vk::attr<"lm">(self);
    if (!lm.is_none() && lm_weight > 0.0) {
        d.lm_model = vk::attr<"model">(lm);
        d.lm_weight = lm_weight;
    }
    return d;
}

std::size_t checked_batch_size(const TranscribeArgs& a) {
    const long long batch_size = a.integer<"batch_size">();
    if (batch_size < 1 || batch_size > 65536)
        throw py::value_error("batch_size must be between 1 and 65536, got " + std::to_string(batch_size));
    return static_cast<std::size_t>(batch_size);
}

// Hypothesis length, temperature and repetition penalty: the argument, else the configured recognition.
void set_generation_limits(Decoding& d, const py::dict& config, const TranscribeArgs& a) {
    const py::dict rec = section(config, "recognition");
    if (!a.is_none<"max_length">()) {
        const long long m = a.integer<"max_length">();
        if (m < 2) throw py::value_error("max_length must be at least 2 (the start token and one more), got " + std::to_string(m));
        d.max_length = py::int_(m);
    } else {
        d.max_length = rec.contains("max_length") ? py::object(rec["max_length"]) : py::object(py::none());
    }
    d.temperature = rec.contains("temperature") ? py::object(rec["temperature"]) : py::object(py::float_(1.0));
    d.repeat_penalty = rec.contains("repeat_penalty") ? py::object(rec["repeat_penalty"]) : py::object(py::float_(1.0));
}

Normalizer normalizer_of(py::handle self, const py::dict& config) {
    Normalizer normalize{str(section(config, "data")["norm"]), py::none(), py::none()};
    const py::object stats = vk::attr<"stats">(self);
    if (normalize.norm == "global_mvn") {
        const py::tuple pair = stats;
        normalize.mean = vk::call_method<"cpu">(pair[0]);
        normalize.std_dev = vk::call_method<"cpu">(pair[1]);
    }
    return normalize;
}

// How every input is cut and normalized: the model's limits and the training normalization.
struct PieceMaker {
    long long num_feats, max_frames;
    Normalizer normalize;
    long long shortest;
    py::handle sample_rate;

    // The model-ready pieces of input `i`, all or none: a piece that fails fails its whole input.
    std::vector<Piece> pieces_of(py::handle input, std::size_t i, Job& job) const {
        const Prepared p = prepare_input(input, i, sample_rate, num_feats, max_frames, job);
        std::vector<Piece> pieces;
        for (std::size_t k = 0; k < p.fbanks.size(); ++k) {
            py::object x = normalize(p.fbanks[k]);
            long long frames = static_cast<long long>(p.fbanks[k].shape(1));
            if (frames < shortest) {  // the front-end needs a few frames; zeros are the mean once normalized
                x = vk::call(vk::imported<"torch.nn.functional", "pad">(), x, py::make_tuple(0, 0, 0, shortest - frames));
                frames = shortest;
            }
            pieces.push_back({i, k, x, frames});
        }
        job.texts.resize(p.fbanks.size());
        return pieces;
    }
};

// The pieces of all inputs, in input order; an input that cannot be used gets its one-line error
// and no pieces, and the others go on.
std::vector<Piece> prepare_pieces(const PieceMaker& make, const std::vector<py::object>& items, std::vector<Job>& jobs) {
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < items.size(); ++i) {
        try {
            std::vector<Piece> mine = make.pieces_of(items[i], i, jobs[i]);
            std::move(mine.begin(), mine.end(), std::back_inserter(pieces));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            jobs[i].error = error_line(e);
        } catch (const std::runtime_error& e) {
            jobs[i].error = e.what();
        }
        if (jobs[i].error) jobs[i].segments.clear();
    }
    return pieces;
}

// A decoded batch into the jobs of its pieces, each piece's decoding time an equal share.
void record_batch(const BatchResult& r, const std::vector<Piece*>& batch, double seconds, py::handle tokenizer, std::vector<Job>& jobs) {
    const double share = seconds / double(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Job& job = jobs[batch[i]->job];
        py::list ids;
        for (const long long id : r.tokens[i]) ids.append(id);
        job.texts[batch[i]->index] = vk::call_method<"decode">(tokenizer, ids, kw<"skip_special_tokens">(true));
        job.tokens.insert(job.tokens.end(), r.tokens[i].begin(), r.tokens[i].end());
        job.score += r.scores[i];
        job.decode_seconds += share;
    }
}

// Batches of similar lengths (longest first), results put back in input order; a batch that
// fails to decode fails the inputs of its pieces.
void decode_pieces(const Decoding& d, const RecognizerParts& parts, std::vector<Piece>& pieces, std::size_t batch_size, bool progress,
                   std::vector<Job>& jobs) {
    std::vector<Piece*> order;
    for (Piece& p : pieces) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(), [](const Piece* x, const Piece* y) { return x->frames > y->frames; });
    const std::size_t num_batches = (order.size() + batch_size - 1) / batch_size;
    std::optional<vk::Bar> bar;
    py::object bar_range = vk::call(vk::imported<"builtins", "range">(), num_batches);
    if (progress) bar.emplace(bar_range, kw<"desc">("[Transcribing]"), kw<"dynamic_ncols">(true));
    vk::with_block(inference_mode(), [&] {
        for (std::size_t b = 0; b < num_batches; ++b) {
            const auto first = order.begin() + static_cast<std::ptrdiff_t>(b * batch_size);
            const auto last = order.begin() + static_cast<std::ptrdiff_t>(std::min(order.size(), (b + 1) * batch_size));
            const std::vector<Piece*> batch(first, last);
            const auto start = std::chrono::steady_clock::now();
            try {
                const BatchResult r = decode_batch(d, parts.model, parts.tokenizer, parts.device, batch);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                record_batch(r, batch, seconds, parts.tokenizer, jobs);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                const std::string why = "decoding failed: " + error_line(e);
                for (const Piece* p : batch) jobs[p->job].error = why;
            }
            if (bar) bar->advance();
        }
    });
    if (bar) bar->close();
}

// The pieces' texts joined in order, each trimmed of spaces, empty ones left out.
std::string joined_text(const std::vector<py::object>& texts) {
    std::string text;
    for (const py::object& t : texts) {
        std::string piece = t ? str(t) : std::string();
        const auto b = piece.find_first_not_of(' '), e = piece.find_last_not_of(' ');
        piece = b == std::string::npos ? std::string() : piece.substr(b, e - b + 1);
        if (piece.empty()) continue;
        text += (text.empty() ? "" : " ") + piece;
    }
    return text;
}

// One input's record; a failed input keeps its name and durations, with empty results.
py::dict job_record(const Job& job) {
    const bool ok = !job.error;
    py::dict r;
    r["input"] = job.name;
    r["text"] = ok ? joined_text(job.texts) : std::string();
    py::list tokens;
    if (ok)
        for (const long long t : job.tokens) tokens.append(t);  // the tokens of all pieces follow one another
    r["tokens"] = tokens;
    r["score"] = ok ? py::object(py::float_(job.score)) : py::object(py::none());
    r["seconds"] = job.seconds;
    r["decode_seconds"] = job.decode_seconds;
    py::list segments;
    if (ok)
        for (const auto& [s, e] : job.segments) {
            py::list span;
            span.append(s);
            span.append(e);
            segments.append(span);
        }
    r["segments"] = segments;
    r["error"] = ok ? py::object(py::none()) : py::object(py::str(*job.error));
    return r;
}

// Inputs → pieces that fit the model → batches decoded → one record per input.
py::object transcribe(py::handle self, const TranscribeArgs& a) {
    const RecognizerParts parts = parts_of(self);
    Decoding d = scoring_options(self, parts, a);
    const std::size_t batch_size = checked_batch_size(a);
    set_generation_limits(d, parts.config, a);
    if (!a.is_none<"sample_rate">()) vk::exact_int(a.get<"sample_rate">(), "sample_rate");

    const std::vector<py::object> items = input_list(a.get<"inputs">());
    const PieceMaker make{py::cast<long long>(vk::attr<"num_feats">(self)), py::cast<long long>(vk::attr<"max_frames">(self)),
                          normalizer_of(self, parts.config), shortest_input(parts.config), a.get<"sample_rate">()};
    std::vector<Job> jobs(items.size());
    std::vector<Piece> pieces = prepare_pieces(make, items, jobs);
    decode_pieces(d, parts, pieces, batch_size, a.flag<"progress">(), jobs);

    py::list records;
    for (const Job& job : jobs) records.append(job_record(job));
    return records;
}

py::object recognizer_repr(py::handle self, const vk::Args<"">&) {
    return py::str("Recognizer(" + str(vk::item<"name">(vk::attr<"config">(self))) + ", device=" + str(vk::attr<"device">(self)) +
                   ", lm=" + (vk::attr<"lm">(self).is_none() ? "None" : "yes") + ")");
}

// ---------------------------------------------------------------------------------------------
// Definitions

constexpr vk::Def kExportModel{"export_model", export_model,
                               "Writes the trained model of an experiment (its folder or configuration file) to one model file "
                               "(.vkm: safetensors weights, feature statistics, and the configuration and tokenizer as JSON). "
                               "Returns out_path."};
constexpr vk::Def kReadModelFile{"read_model_file", read_model_file,
                                 "Reads and checks a model file without running anything from it. Returns {'config', 'tokenizer', "
                                 "'state_dict', 'stats' ((mean, std) or None), 'task'}; a damaged or foreign file raises ValueError "
                                 "naming it."};
constexpr vk::Def kSplitWaveform{"split_waveform", split_waveform,
                                 "[(start, end), ...] sample ranges of 16 kHz samples, in order and covering every sample once, each "
                                 "giving at most max_frames filter-bank frames; cuts fall where the signal is quietest, searched in "
                                 "the last quarter of the limit before each piece would grow too long."};

constexpr vk::Def kRecognizerInit{"__init__", init_recognizer};
constexpr vk::Def kTranscribe{
    "transcribe", transcribe,
    "Transcribes inputs: one or a list of audio file paths, waveforms (1-D arrays, sample_rate= required) or filter banks "
    "(2-D (num_feats, frames) arrays). Returns one record per input, in input order: {'input', 'text', 'tokens', 'score', "
    "'seconds', 'decode_seconds', 'segments', 'error'}; an input that cannot be used gets its error and the others are "
    "transcribed."};
constexpr vk::Def kRecognizerRepr{"__repr__", recognizer_repr};
constexpr vk::Def kRecFromExperiment{"from_experiment", rec_from_experiment,
                                     "A Recognizer of an experiment: its folder (expts/<name>) or its configuration file. lm: None, a "
                                     "LanguageModel, or a language model's experiment folder, configuration file or model file."};
constexpr vk::Def kRecFromFile{"from_file", rec_from_file, "A Recognizer of a model file (.vkm); lm as for from_experiment."};

constexpr vk::Def kLmInit{"__init__", init_language_model};
constexpr vk::Def kGenerate{"generate", lm_generate,
                            "num continuations of prompt (the prompt included) of at most max_length tokens after it: sampled when "
                            "top_k or top_p is set (seed makes them repeatable), else the beam_width best of a beam search (ranked by "
                            "total / length^length_penalty), else greedy."};
constexpr vk::Def kLmFromExperiment{"from_experiment", lm_from_experiment,
                                    "A LanguageModel of an experiment: its folder (expts/<name>) or its configuration file."};
constexpr vk::Def kLmFromFile{"from_file", lm_from_file, "A LanguageModel of a model file (.vkm)."};

}  // namespace

PYBIND11_MODULE(recognizer, m) {
    m.doc() = "Using trained models: Recognizer (speech to text), LanguageModel (continuations), and one-file model files (.vkm).";
    vk::define_functions<kExportModel, kReadModelFile, kSplitWaveform>(m);
    const py::object object = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    const py::object rec = vk::define_class<kRecognizerInit, kTranscribe, kRecognizerRepr>(
        m, "Recognizer", object,
        "Speech to text with a trained model: audio read and turned into filter banks as data preparation does, normalized as "
        "in training, decoded as the ASR trainer's recognition does. Attributes: model, tokenizer, config, device, num_feats, "
        "max_frames (the longest input in frames before it is split), stats, lm.");
    vk::define_static_methods<kRecFromExperiment, kRecFromFile>(m, rec);
    recognizer_class = rec.ptr();
    const py::object lm = vk::define_class<kLmInit, kGenerate>(m, "LanguageModel", object,
                                                               "Text continuations with a trained language model. Attributes: model, "
                                                               "tokenizer, config, device.");
    vk::define_static_methods<kLmFromExperiment, kLmFromFile>(m, lm);
    language_model_class = lm.ptr();
    m.attr("FORMAT") = kFormat;
    m.attr("VERSION") = kVersion;
}
