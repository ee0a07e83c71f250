// Building what a configuration describes (tokenizer, datasets, loaders, model, optimizer,
// scheduler, trainer) and finding and reading the experiment it trained. A builder's own error
// is reported as one line naming the file and the section; a checkpoint is checked against the
// model before anything is restored from it.
#include "cli.hpp"

#include <cctype>

namespace velkor_cli {

PyObject* g_config_error = nullptr;

void config_fail(const std::string& file, const std::string& message) {
    PyErr_SetString(g_config_error, (file + ": " + message).c_str());
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// Files and small helpers

py::object join(py::handle a, py::handle b) { return vk::call(vk::imported<"os.path", "join">(), a, b); }
py::object join(py::handle a, const char* b) { return join(a, py::str(b)); }
bool exists(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "exists">(), path)); }
bool is_dir(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "isdir">(), path)); }
void make_dirs(py::handle path) { vk::call(vk::imported<"os", "makedirs">(), path, kw<"exist_ok">(true)); }
void remove_tree(py::handle path) {
    if (is_dir(path)) vk::call(vk::imported<"shutil", "rmtree">(), path);
}
void remove_file(py::handle path) {
    if (vk::truthy(vk::call(vk::imported<"os.path", "lexists">(), path)) && !is_dir(path)) vk::call(vk::imported<"os", "remove">(), path);
}
std::string str(py::handle o) { return py::str(o); }
void print_stderr(const std::string& line) {
    const py::object err = vk::attr<"stderr">(vk::imported<"sys">());
    vk::call(vk::imported<"builtins", "print">(), py::str(line), kw<"file">(err));
}

std::string lowercase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

long long int_option(py::handle value, const std::string& option, long long lo, long long hi) {
    int overflow = 0;
    const long long n = PyLong_Check(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : lo - 1;
    if (overflow != 0 || n < lo || n > hi)
        fail(option + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", got " + str(value), 2);
    return n;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void write_json(py::handle path, py::handle value) {
    const py::object text =
        vk::call(vk::imported<"json", "dumps">(), value, kw<"indent">(2), kw<"default">(vk::imported<"builtins", "str">()));
    const py::object partial = py::str(str(path) + ".partial");
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), partial), text, kw<"encoding">("utf-8"));
    vk::call(vk::imported<"os", "replace">(), partial, path);
}

namespace {

// The first line of an error's text, at most 200 characters.
std::string first_line(py::handle error) {
    std::string s = py::str(error);
    s = s.substr(0, s.find('\n'));
    if (s.size() > 200) s = s.substr(0, 200) + "...";
    return s;
}

bool is_regular_file(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), path)); }

// Runs `build`; an ordinary error of the component becomes one line naming the file and section.
template <class F>
py::object building(const Config& cfg, const char* section_name, F&& build) {
    try {
        return build();
    } catch (py::error_already_set& e) {
        if (e.matches(g_config_error) || !e.matches(PyExc_Exception) || e.matches(PyExc_ImportError)) throw;
        config_fail(cfg.file, std::string("section \"") + section_name + "\": " + first_line(e.value()));
    }
}

py::object partition_config(const Config& cfg, const std::string& subset_key) {
    py::dict d = vk::call_method<"copy">(section(cfg, "data"));
    if (subset_key != "subset_size") d["subset_size"] = d.contains(subset_key.c_str()) ? py::object(d[subset_key.c_str()]) : py::int_(-1);
    return d;
}

// The features on disk must have the configured number of bins.
void check_feature_bins(const Config& cfg, py::handle dataset, py::handle dir) {
    const py::list files = vk::attr<"fbank_files">(dataset);
    if (files.empty()) return;
    const py::object first = files[0];
    if (!is_regular_file(first)) return;
    const py::object array = vk::call(vk::imported<"numpy", "load">(), first, kw<"mmap_mode">("r"), kw<"allow_pickle">(false));
    const py::tuple shape = vk::attr<"shape">(array);
    const long long wanted = py::cast<long long>(section(cfg, "data")["num_feats"]);
    if (shape.size() == 2 && py::cast<long long>(shape[0]) != wanted)
        config_fail(cfg.file, "key \"data.num_feats\" is " + std::to_string(wanted) + ", but the features in " + str(dir) + " have " +
                                  str(shape[0]) + " bins");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The pieces of a run

py::object build_tokenizer(const Config& cfg) {
    return building(cfg, "tokenizer", [&] {
        const py::dict tok = section(cfg, "tokenizer");
        const py::handle cls = vk::imported<"velkor.data", "BrixTokenizer">();
        if (tok.contains("file")) return vk::call(vk::attr<"load">(cls), py::object(tok["file"]));
        py::dict kwargs;
        for (const auto& item : tok) kwargs[item.first] = item.second;
        return py::reinterpret_borrow<py::object>(cls)(**kwargs);
    });
}

py::object build_dataset(const Config& cfg, py::handle tokenizer, const char* which, py::handle stats) {
    const py::dict data = section(cfg, "data");
    const std::string key = std::string(which) + "_partition";
    const py::object partition = data[key.c_str()];
    const std::string subset_key = std::string(which) == "train" ? "subset_size" : std::string(which) + "_subset_size";
    const py::object dir = join(data["root"], partition);
    if (!is_dir(dir))
        config_fail(cfg.file, "key \"data." + key + "\": no such directory " + str(dir) + " (prepare it with `velkor prepare`)");
    py::object dataset;
    try {
        if (!is_speech(cfg)) {
            dataset = vk::call(vk::imported<"velkor.data", "LMDataset">(), partition, partition_config(cfg, subset_key), tokenizer);
        } else {
            const bool train = std::string(which) == "train";
            dataset = vk::call(vk::imported<"velkor.data", "ASRDataset">(), partition, partition_config(cfg, subset_key), tokenizer,
                               py::bool_(train), stats);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        fail(str(dir) + ": " + first_line(e.value()));
    }
    if (is_speech(cfg)) check_feature_bins(cfg, dataset, dir);
    return dataset;
}

// Under a process group every process loads its share: training batches dealt out of global
// batches of (processes x batch_size) in the same order everywhere, validation shared out in order.
py::object loader(const Config& cfg, py::handle dataset, bool shuffle) {
    const py::dict data = section(cfg, "data");
    const py::object batch_size = data["batch_size"], workers = data["NUM_WORKERS"];
    const bool shared = vk::truthy(vk::call(vk::imported<"torch.distributed", "is_available">())) &&
                        vk::truthy(vk::call(vk::imported<"torch.distributed", "is_initialized">()));
    if (shared && !(shuffle && is_speech(cfg))) {
        const py::object sampler = vk::call(vk::imported<"velkor.data.sampler", "ShardedBatchSampler">(), dataset, batch_size,
                                            kw<"shuffle">(shuffle), kw<"seed">(py::object(cfg.data["seed"])), kw<"even">(shuffle));
        return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), dataset, kw<"batch_sampler">(sampler),
                        kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"num_workers">(workers));
    }
    if (shuffle && is_speech(cfg)) {
        // Training batches of utterances of similar length: far less padding to run through (shared
        // out among the processes of a process group).
        const py::object sampler = vk::call(vk::imported<"velkor.data.sampler", "LengthBucketSampler">(), dataset, batch_size,
                                            kw<"shuffle">(true), kw<"seed">(py::object(cfg.data["seed"])));
        return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), dataset, kw<"batch_sampler">(sampler),
                        kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"num_workers">(workers));
    }
    return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), dataset, kw<"batch_size">(batch_size), kw<"shuffle">(shuffle),
                    kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"num_workers">(workers));
}

py::object build_model(const Config& cfg, py::handle tokenizer) {
    return building(cfg, "model", [&] {
        py::dict kwargs = vk::call_method<"copy">(section(cfg, "model"));
        kwargs["num_classes"] = vk::attr<"num_classes">(tokenizer);
        if (!is_speech(cfg)) return py::reinterpret_borrow<py::object>(vk::imported<"velkor.model", "DecoderOnlyTransformer">())(**kwargs);
        kwargs["input_dim"] = section(cfg, "data")["num_feats"];
        return py::reinterpret_borrow<py::object>(vk::imported<"velkor.model", "EncoderDecoderTransformer">())(**kwargs);
    });
}

py::object build_trainer(const Config& cfg, py::handle model, py::handle tokenizer) {
    return building(cfg, "training", [&] {
        const py::dict training = section(cfg, "training");
        const py::object device = training.contains("device") ? py::object(training["device"]) : py::object(py::none());
        const py::object abs_file = vk::call(vk::imported<"os.path", "abspath">(), py::str(cfg.file));
        const py::handle cls = cfg.task == "lm"    ? vk::imported<"velkor.trainers.wistoke", "LMTrainer">()
                               : cfg.task == "asr" ? vk::imported<"velkor.trainers.ombrel", "ASRTrainer">()
                                                   : vk::imported<"velkor.trainers.ombrel", "ProgressiveTrainer">();
        return vk::call(cls, model, tokenizer, cfg.data, py::str(cfg.name), abs_file, kw<"device">(device));
    });
}

void build_optimization(const Config& cfg, py::handle trainer, py::handle train_loader) {
    const py::object optimizer = building(cfg, "optimizer", [&] {
        return vk::call(vk::imported<"velkor.utils", "gristane">(), vk::attr<"model">(trainer), py::object(cfg.data["optimizer"]));
    });
    vk::set_attr<"optimizer">(trainer, optimizer);
    const py::object scheduler = building(cfg, "scheduler", [&] {
        return vk::call(vk::imported<"velkor.utils", "create_scheduler">(), optimizer, py::object(cfg.data["scheduler"]), train_loader,
                        py::object(section(cfg, "training")["gradient_accumulation_steps"]));
    });
    vk::set_attr<"scheduler">(trainer, scheduler);
}

void seed_everything(const Config& cfg) {
    const py::object seed = cfg.data["seed"];
    vk::call(vk::imported<"torch", "manual_seed">(), seed);
    vk::call(vk::imported<"random", "seed">(), seed);
}

// ---------------------------------------------------------------------------------------------
// The experiment on disk

py::object expt_root(const Config& cfg) { return join(join(vk::call(vk::imported<"os", "getcwd">()), "expts"), py::str(cfg.name)); }

py::object find_experiment(const Config& cfg) {
    const py::object here = expt_root(cfg);
    if (is_dir(join(here, "checkpoints"))) return here;
    py::object dir = vk::call(vk::imported<"os.path", "dirname">(), vk::call(vk::imported<"os.path", "abspath">(), py::str(cfg.file)));
    for (int level = 0; level < 64; ++level) {
        const py::object candidate = join(join(dir, "expts"), py::str(cfg.name));
        if (is_dir(join(candidate, "checkpoints"))) return candidate;
        const py::object up = vk::call(vk::imported<"os.path", "dirname">(), dir);
        if (str(up) == str(dir)) break;
        dir = up;
    }
    return here;
}

py::object checkpoint_path(py::handle root, const char* filename) { return join(join(root, "checkpoints"), filename); }

py::object stats_path(py::handle root) { return join(root, "feature_stats.pt"); }

py::object training_stats(py::handle train_set) {
    if (!vk::has_attr<"global_mean">(train_set)) return py::none();
    return py::make_tuple(vk::attr<"global_mean">(train_set), vk::attr<"global_std">(train_set));
}

py::object load_stats(const Config& cfg, py::handle root) {
    if (str(section(cfg, "data")["norm"]) != "global_mvn") return py::none();
    const py::object path = stats_path(root);
    if (!exists(path)) config_fail(cfg.file, "no feature statistics at " + str(path) + ": train this configuration first (`velkor train`)");
    if (!is_regular_file(path)) fail(str(path) + ": not a readable file of feature statistics (not a regular file)");
    py::object loaded;
    try {
        loaded = vk::call(vk::imported<"torch", "load">(), path, kw<"map_location">("cpu"), kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        fail(str(path) + ": not a readable file of feature statistics (" + first_line(e.value()) + ")");
    }
    if (!PyTuple_Check(loaded.ptr()) && !PyList_Check(loaded.ptr())) fail(str(path) + ": not a (mean, std) pair of feature statistics");
    const py::tuple pair = vk::call(vk::imported<"builtins", "tuple">(), loaded);
    if (pair.size() != 2) fail(str(path) + ": not a (mean, std) pair of feature statistics");
    return pair;
}

py::object saved_tokenizer(const Config& cfg, py::handle root) {
    const py::object path = join(root, "tokenizer.json");
    if (!exists(path)) return build_tokenizer(cfg);
    try {
        return vk::call(vk::attr<"load">(vk::imported<"velkor.data", "BrixTokenizer">()), path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        fail(str(path) + ": " + first_line(e.value()));
    }
}

namespace {

std::string shape_text(py::handle tensor) {
    const py::object sizes = vk::call(vk::imported<"builtins", "list">(), vk::attr<"shape">(tensor));
    return str(sizes);
}

// What a restricted load refused: "Unsupported global: GLOBAL os.system was not..." -> "os.system".
std::string refused_global(const std::string& text) {
    const std::size_t at = text.find("GLOBAL ");
    if (at == std::string::npos) return {};
    const std::size_t start = at + 7, end = text.find_first_of(" \n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

py::dict read_checkpoint(py::handle path, py::handle model) {
    const std::string name = str(path);
    if (!exists(path)) fail(name + ": no such checkpoint");
    if (!is_regular_file(path)) fail(name + ": not a readable checkpoint (not a regular file)");
    py::object loaded;
    try {
        loaded = vk::call(vk::imported<"torch", "load">(), path, kw<"map_location">("cpu"), kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        const std::string global = refused_global(py::str(e.value()));
        if (!global.empty()) fail(name + ": unsafe content refused: the file asks to load " + global + ", which a checkpoint never holds");
        std::string what = first_line(e.value());
        fail(name + ": not a readable checkpoint (" + vk::type_name(e.value()) + (what.empty() ? "" : ": " + what) + ")");
    }
    if (!PyDict_Check(loaded.ptr())) fail(name + ": not a checkpoint: it holds " + shown(loaded));
    const py::dict ckpt = py::reinterpret_borrow<py::dict>(loaded);
    const py::object weights = vk::get<"model_state_dict">(ckpt, py::none());
    if (!PyDict_Check(weights.ptr()) || PyDict_GET_SIZE(weights.ptr()) == 0)
        fail(name + ": not a checkpoint of a model: \"model_state_dict\" holds " + shown(weights));
    const py::dict expected = vk::call_method<"state_dict">(model);
    const py::dict stored = py::reinterpret_borrow<py::dict>(weights);
    const std::string other = name + ": made for another model configuration: ";
    for (const auto& [key, tensor] : expected)
        if (!stored.contains(key)) fail(other + "it has no tensor \"" + str(key) + "\"");
    for (const auto& [key, tensor] : stored) {
        if (!expected.contains(key)) fail(other + "its tensor \"" + str(key) + "\" is not in this model");
        if (!vk::truthy(vk::call(vk::imported<"torch", "is_tensor">(), tensor))) fail(other + "\"" + str(key) + "\" is not a tensor");
        const std::string have = shape_text(tensor), want = shape_text(expected[key]);
        if (have != want) fail(other + "tensor \"" + str(key) + "\" has shape " + have + " there and " + want + " in this model");
    }
    const py::object epoch = vk::get<"epoch">(ckpt, py::int_(0));
    if (!PyLong_Check(epoch.ptr()) || PyBool_Check(epoch.ptr()) || PyObject_RichCompareBool(epoch.ptr(), py::int_(0).ptr(), Py_LT) != 0)
        fail(name + ": not a usable checkpoint: its \"epoch\" is " + shown(epoch));
    const py::object history = vk::get<"training_history">(ckpt, py::list());
    if (!PyList_Check(history.ptr())) fail(name + ": not a usable checkpoint: its \"training_history\" is " + shown(history));
    for (const py::handle record : py::reinterpret_borrow<py::list>(history))
        if (!PyDict_Check(record.ptr())) fail(name + ": not a usable checkpoint: its \"training_history\" holds " + shown(record));
    return ckpt;
}

py::dict load_best(const Config& cfg, py::handle root, py::handle model) {
    const py::object path = checkpoint_path(root, "checkpoint-best-metric-model.pth");
    if (!exists(path)) config_fail(cfg.file, "no trained model at " + str(path) + ": run `velkor train " + cfg.file + "` first");
    const py::dict ckpt = read_checkpoint(path, model);
    vk::call_method<"load_state_dict">(model, py::object(ckpt["model_state_dict"]));
    vk::call_method<"eval">(model);
    return ckpt;
}

}  // namespace velkor_cli
