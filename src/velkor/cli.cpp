// The `velkor` command: dataset preparation, training and evaluation from YAML configurations,
// and the end-to-end demonstration.
//
//   velkor prepare synth|audio|text ...   datasets on disk (velkor.data.prepare)
//   velkor train CONFIG.yaml [--resume]    the trainer the configuration's "task" names
//   velkor evaluate CONFIG.yaml [--lm LM.yaml --lm-weight W]
//   velkor demo                            prepare -> LM -> joint CTC/attention ASR -> evaluation
//
// Sub-commands are parsed with argparse through its Python API. A configuration is checked as a
// whole before anything is built: a missing or malformed key raises ConfigError naming the key
// and the file, and the command prints that one line instead of a traceback.
#include <vk/common.hpp>
#include <vk/lookup.hpp>

#include <pybind11/stl.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

// ---------------------------------------------------------------------------------------------
// Small helpers

PyObject* g_config_error = nullptr;  // velkor.cli.ConfigError, created at import

[[noreturn]] void config_fail(const std::string& file, const std::string& message) {
    PyErr_SetString(g_config_error, (file + ": " + message).c_str());
    throw py::error_already_set();
}

py::object join(py::handle a, py::handle b) { return vk::call(vk::imported<"os.path", "join">(), a, b); }
py::object join(py::handle a, const char* b) { return join(a, py::str(b)); }
bool exists(py::handle path) { return vk::truthy(vk::call(vk::imported<"os.path", "exists">(), path)); }
void make_dirs(py::handle path) { vk::call(vk::imported<"os", "makedirs">(), path, kw<"exist_ok">(true)); }
std::string str(py::handle o) { return py::str(o); }

std::string lowercase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

py::object copy_dict(py::handle d) { return vk::call_method<"copy">(d); }

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void write_json(py::handle path, py::handle value) {
    const py::object text =
        vk::call(vk::imported<"json", "dumps">(), value, kw<"indent">(2), kw<"default">(vk::imported<"builtins", "str">()));
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), path), text, kw<"encoding">("utf-8"));
}

// ---------------------------------------------------------------------------------------------
// Configuration files

enum class Kind { Text, Flag, PositiveInt, NonNegativeInt, Int, Real, Fraction, Section, List, Any };

struct Key {
    const char* name;
    Kind kind;
    bool required = false;
};

const char* describe(Kind k) {
    switch (k) {
        case Kind::Text:
            return "text";
        case Kind::Flag:
            return "true or false";
        case Kind::PositiveInt:
            return "a positive integer";
        case Kind::NonNegativeInt:
            return "a non-negative integer";
        case Kind::Int:
            return "an integer";
        case Kind::Real:
            return "a number";
        case Kind::Fraction:
            return "a number in (0, 1]";
        case Kind::Section:
            return "a mapping of keys to values";
        case Kind::List:
            return "a list";
        case Kind::Any:
            return "a value";
    }
    return "a value";
}

bool is_int(PyObject* v) { return PyLong_Check(v) && !PyBool_Check(v); }

// YAML 1.1 reads 1e-3 (no dot) as text: such numbers are taken as the number they spell.
py::object as_number(py::handle v) {
    if ((PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) && !PyBool_Check(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (PyUnicode_Check(v.ptr())) {
        try {
            return vk::call(vk::imported<"builtins", "float">(), v);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::object();
}

class Checker {
public:
    explicit Checker(std::string file) : file_(std::move(file)) {}
    const std::string& file() const { return file_; }

    [[noreturn]] void fail(const std::string& message) const { config_fail(file_, message); }

    // parent[name] as a section; absent optional sections become an empty dict stored in parent.
    py::dict section(py::dict parent, const std::string& parent_path, const char* name, bool required) const {
        const std::string path = parent_path.empty() ? name : parent_path + "." + name;
        if (!parent.contains(name) || parent[name].is_none()) {
            if (required) fail("missing section \"" + path + "\"");
            py::dict empty;
            parent[name] = empty;
            return empty;
        }
        const py::object v = parent[name];
        if (!PyDict_Check(v.ptr())) fail("key \"" + path + "\" must be " + describe(Kind::Section) + ", got " + shown(v));
        return py::reinterpret_borrow<py::dict>(v);
    }

    // Checks the listed keys of one section (converting numbers written as text); with `strict`
    // any other key is an error, else it is reported as a warning and kept.
    void keys(py::dict d, const std::string& path, std::initializer_list<Key> keys, bool strict) const {
        const auto dotted = [&](const std::string& name) { return path.empty() ? name : path + "." + name; };
        for (const Key& k : keys) {
            const std::string full = dotted(k.name);
            if (!d.contains(k.name)) {
                if (k.required) fail((k.kind == Kind::Section ? "missing section \"" : "missing key \"") + full + "\"");
                continue;
            }
            d[k.name] = value(d[k.name], k.kind, full);
        }
        for (const auto& item : d) {
            const std::string name = py::str(item.first);
            bool known = false;
            for (const Key& k : keys) known = known || name == k.name;
            if (known) continue;
            std::string list;
            for (const Key& k : keys) {
                if (!list.empty()) list += ", ";
                list += k.name;
            }
            const std::string message = "unknown key \"" + dotted(name) + "\" (known keys: " + list + ")";
            if (strict) fail(message);
            vk::println("Warning: ", file_, ": ", message);
        }
    }

    py::object value(py::handle v, Kind kind, const std::string& full) const {
        PyObject* p = v.ptr();
        const auto bad = [&]() { fail("key \"" + full + "\" must be " + describe(kind) + ", got " + shown(v)); };
        switch (kind) {
            case Kind::Text:
                if (!PyUnicode_Check(p)) bad();
                break;
            case Kind::Flag:
                if (!PyBool_Check(p)) bad();
                break;
            case Kind::PositiveInt:
            case Kind::NonNegativeInt:
            case Kind::Int: {
                if (!is_int(p)) bad();
                const long long n = py::cast<long long>(v);
                if ((kind == Kind::PositiveInt && n <= 0) || (kind == Kind::NonNegativeInt && n < 0)) bad();
                break;
            }
            case Kind::Real:
            case Kind::Fraction: {
                const py::object n = as_number(v);
                if (!n) bad();
                const double x = py::cast<double>(n);
                if (!std::isfinite(x) || (kind == Kind::Fraction && !(x > 0.0 && x <= 1.0))) bad();
                return n;
            }
            case Kind::Section:
                if (!PyDict_Check(p)) bad();
                break;
            case Kind::List:
                if (!PyList_Check(p)) bad();
                break;
            case Kind::Any:
                break;
        }
        return py::reinterpret_borrow<py::object>(v);
    }

    static std::string shown(py::handle v) {
        if (v.is_none()) return "nothing (null)";
        return py::repr(v).cast<std::string>() + " (" + vk::type_name(v) + ")";
    }

private:
    std::string file_;
};

void set_default(py::dict d, const char* key, py::handle value) {
    if (!d.contains(key)) d[key] = value;
}

struct Config {
    py::dict data;     // the whole configuration, defaults filled in
    std::string file;  // the YAML file it came from
    std::string task;  // "lm", "asr" or "progressive"
    std::string name;  // run name: expts/<name>
};

bool is_speech(const Config& c) { return c.task != "lm"; }

py::object read_yaml(const std::string& file) {
    const py::object path = vk::call(vk::imported<"pathlib", "Path">(), file);
    if (!vk::truthy(vk::call_method<"is_file">(path))) config_fail(file, "no such configuration file");
    const py::object text = vk::call_method<"read_text">(path, kw<"encoding">("utf-8"));
    try {
        return vk::call(vk::imported<"yaml", "safe_load">(), text);
    } catch (py::error_already_set& e) {
        if (!e.matches(vk::imported<"yaml", "YAMLError">())) throw;
        std::string what = py::str(e.value());
        for (char& c : what)
            if (c == '\n') c = ' ';
        config_fail(file, "not valid YAML: " + what);
    }
}

void check_model_keys(const Checker& ck, py::dict model, const char* class_name, std::initializer_list<const char*> filled) {
    const py::object cls = vk::call(vk::imported<"builtins", "getattr">(), vk::imported<"velkor.model">(), class_name);
    const py::object params = vk::attr<"parameters">(vk::call(vk::imported<"inspect", "signature">(), cls));
    for (const auto& item : model) {
        const std::string name = py::str(item.first);
        for (const char* f : filled)
            if (name == f) ck.fail(std::string("key \"model.") + f + "\" must not be set: it comes from the tokenizer and the data");
        if (!vk::truthy(vk::call_method<"__contains__">(params, item.first))) {
            std::string list;
            for (const py::handle p : params) {
                const std::string pn = py::str(p);
                bool skip = false;
                for (const char* f : filled) skip = skip || pn == f;
                if (skip) continue;
                if (!list.empty()) list += ", ";
                list += pn;
            }
            ck.fail("unknown key \"model." + name + "\" (" + class_name + " takes: " + list + ")");
        }
    }
}

Config load_config(const std::string& file) {
    const Checker ck(file);
    const py::object loaded = read_yaml(file);
    if (!PyDict_Check(loaded.ptr())) ck.fail("the file must hold a mapping of sections, got " + Checker::shown(loaded));
    py::dict c = py::reinterpret_borrow<py::dict>(loaded);
    ck.keys(c, "",
            {{"name", Kind::Text},
             {"task", Kind::Text, true},
             {"seed", Kind::Int},
             {"tokenizer", Kind::Section},
             {"data", Kind::Section, true},
             {"model", Kind::Section, true},
             {"optimizer", Kind::Section, true},
             {"scheduler", Kind::Section, true},
             {"training", Kind::Section, true},
             {"loss", Kind::Section},
             {"stages", Kind::List},
             {"recognition", Kind::Section},
             {"generation", Kind::Section}},
            true);
    Config cfg;
    cfg.file = file;
    cfg.data = c;
    cfg.task = py::str(c["task"]);
    if (cfg.task != "lm" && cfg.task != "asr" && cfg.task != "progressive")
        ck.fail("key \"task\" must be \"lm\", \"asr\" or \"progressive\", got " + Checker::shown(c["task"]));
    const py::object stem = vk::attr<"stem">(vk::call(vk::imported<"pathlib", "Path">(), file));
    set_default(c, "name", stem);
    cfg.name = py::str(c["name"]);
    if (cfg.name.empty() || cfg.name.find('/') != std::string::npos || cfg.name == "." || cfg.name == "..")
        ck.fail("key \"name\" must be a plain directory name, got " + Checker::shown(c["name"]));
    set_default(c, "seed", py::int_(0));

    py::dict tok = ck.section(c, "", "tokenizer", false);
    ck.keys(tok, "tokenizer",
            {{"token_type", Kind::Text},
             {"characters", Kind::Text},
             {"lowercase", Kind::Flag},
             {"model_file", Kind::Text},
             {"file", Kind::Text}},
            true);

    py::dict data = ck.section(c, "", "data", true);
    const bool speech = is_speech(cfg);
    if (speech) {
        ck.keys(data, "data",
                {{"root", Kind::Text, true},
                 {"train_partition", Kind::Text},
                 {"val_partition", Kind::Text},
                 {"test_partition", Kind::Text},
                 {"batch_size", Kind::PositiveInt},
                 {"NUM_WORKERS", Kind::NonNegativeInt},
                 {"subset_size", Kind::Real},
                 {"val_subset_size", Kind::Real},
                 {"test_subset_size", Kind::Real},
                 {"num_feats", Kind::PositiveInt, true},
                 {"norm", Kind::Text},
                 {"specaug", Kind::Flag},
                 {"specaug_conf", Kind::Section}},
                true);
        set_default(data, "train_partition", py::str("train-clean-100"));
        set_default(data, "val_partition", py::str("dev-clean"));
        set_default(data, "test_partition", py::str("test-clean"));
        set_default(data, "norm", py::str("global_mvn"));
        set_default(data, "specaug", py::bool_(false));
        const std::string norm = py::str(data["norm"]);
        if (norm != "global_mvn" && norm != "cepstral" && norm != "none")
            ck.fail("key \"data.norm\" must be \"global_mvn\", \"cepstral\" or \"none\", got " + Checker::shown(data["norm"]));
        py::dict sa = ck.section(data, "data", "specaug_conf", false);
        ck.keys(sa, "data.specaug_conf",
                {{"time_mask_width_range", Kind::NonNegativeInt},
                 {"freq_mask_width_range", Kind::NonNegativeInt},
                 {"apply_freq_mask", Kind::Flag},
                 {"num_freq_mask", Kind::NonNegativeInt},
                 {"apply_time_mask", Kind::Flag},
                 {"num_time_mask", Kind::NonNegativeInt}},
                true);
        set_default(sa, "time_mask_width_range", py::int_(40));
        set_default(sa, "freq_mask_width_range", py::int_(10));
        set_default(sa, "apply_freq_mask", py::bool_(true));
        set_default(sa, "num_freq_mask", py::int_(2));
        set_default(sa, "apply_time_mask", py::bool_(true));
        set_default(sa, "num_time_mask", py::int_(2));
    } else {
        ck.keys(data, "data",
                {{"root", Kind::Text, true},
                 {"train_partition", Kind::Text},
                 {"val_partition", Kind::Text},
                 {"test_partition", Kind::Text},
                 {"batch_size", Kind::PositiveInt},
                 {"NUM_WORKERS", Kind::NonNegativeInt},
                 {"subset_size", Kind::Real},
                 {"val_subset_size", Kind::Real},
                 {"test_subset_size", Kind::Real}},
                true);
        set_default(data, "train_partition", py::str("train"));
        set_default(data, "val_partition", py::str("dev"));
        set_default(data, "test_partition", py::str("test"));
    }
    set_default(data, "batch_size", py::int_(8));
    set_default(data, "NUM_WORKERS", py::int_(0));

    py::dict model = ck.section(c, "", "model", true);
    if (speech) {
        check_model_keys(ck, model, "EncoderDecoderTransformer", {"input_dim", "num_classes"});
    } else {
        check_model_keys(ck, model, "DecoderOnlyTransformer", {"num_classes"});
    }

    py::dict opt = ck.section(c, "", "optimizer", true);
    ck.keys(opt, "optimizer",
            {{"name", Kind::Text, true},
             {"lr", Kind::Real, true},
             {"weight_decay", Kind::Real},
             {"param_groups", Kind::List},
             {"layer_decay", Kind::Section},
             {"sgd", Kind::Section},
             {"adam", Kind::Section},
             {"adamw", Kind::Section}},
            true);
    set_default(opt, "weight_decay", py::float_(0.0));
    const std::string opt_name = lowercase(py::str(opt["name"]));
    if (opt_name != "sgd" && opt_name != "adam" && opt_name != "adamw")
        ck.fail("key \"optimizer.name\" must be \"sgd\", \"adam\" or \"adamw\", got " + Checker::shown(opt["name"]));
    for (const char* kind : {"adam", "adamw"}) {
        py::dict s = ck.section(opt, "optimizer", kind, false);
        ck.keys(s, std::string("optimizer.") + kind, {{"betas", Kind::List}, {"eps", Kind::Real}, {"amsgrad", Kind::Flag}}, true);
        set_default(s, "betas", py::make_tuple(0.9, 0.999));
        s["betas"] = vk::call(vk::imported<"builtins", "tuple">(), py::object(s["betas"]));
        set_default(s, "eps", py::float_(1e-8));
        set_default(s, "amsgrad", py::bool_(false));
    }
    py::dict sgd = ck.section(opt, "optimizer", "sgd", false);
    ck.keys(sgd, "optimizer.sgd", {{"momentum", Kind::Real}, {"nesterov", Kind::Flag}, {"dampening", Kind::Real}}, true);
    set_default(sgd, "momentum", py::float_(0.9));
    set_default(sgd, "nesterov", py::bool_(false));
    set_default(sgd, "dampening", py::float_(0.0));

    py::dict sched = ck.section(c, "", "scheduler", true);
    ck.keys(sched, "scheduler",
            {{"name", Kind::Text, true},
             {"reduce_lr", Kind::Section},
             {"cosine", Kind::Section},
             {"cosine_warm", Kind::Section},
             {"warmup", Kind::Section}},
            true);
    const std::string sched_name = lowercase(py::str(sched["name"]));
    if (sched_name != "reduce_lr" && sched_name != "cosine" && sched_name != "cosine_warm")
        ck.fail("key \"scheduler.name\" must be \"reduce_lr\", \"cosine\" or \"cosine_warm\", got " + Checker::shown(sched["name"]));
    ck.section(sched, "scheduler", sched_name.c_str(), false);  // its settings all have defaults

    py::dict training = ck.section(c, "", "training", true);
    ck.keys(training, "training",
            {{"epochs", Kind::NonNegativeInt, true},
             {"gradient_accumulation_steps", Kind::PositiveInt},
             {"use_wandb", Kind::Flag},
             {"wandb_project", Kind::Text},
             {"wandb_run_id", Kind::Any},
             {"label_smoothing", Kind::Real},
             {"device", Kind::Text},
             {"amp_dtype", Kind::Text}},
            false);
    set_default(training, "gradient_accumulation_steps", py::int_(1));
    set_default(training, "use_wandb", py::bool_(false));

    if (speech) {
        py::dict loss = ck.section(c, "", "loss", false);
        ck.keys(loss, "loss", {{"label_smoothing", Kind::Real}, {"ctc_weight", Kind::Real}}, true);
        set_default(loss, "label_smoothing", py::float_(0.0));
        set_default(loss, "ctc_weight", py::float_(0.0));
        py::dict rec = ck.section(c, "", "recognition", false);
        ck.keys(rec, "recognition",
                {{"beam_width", Kind::PositiveInt},
                 {"lm_weight", Kind::Real},
                 {"ctc_weight", Kind::Real},
                 {"decoder", Kind::Text},
                 {"temperature", Kind::Real},
                 {"repeat_penalty", Kind::Real},
                 {"num_batches", Kind::PositiveInt},
                 {"max_length", Kind::PositiveInt},
                 {"incremental", Kind::Flag}},
                false);
    } else {
        py::dict gen = ck.section(c, "", "generation", false);
        (void)gen;
    }
    if (cfg.task == "progressive") {
        if (!c.contains("stages")) ck.fail("missing key \"stages\" (progressive training runs a list of stages)");
        const py::list stages = c["stages"];
        if (stages.size() == 0) ck.fail("key \"stages\" must list at least one stage");
        for (std::size_t i = 0; i < stages.size(); ++i) {
            const std::string path = "stages[" + std::to_string(i) + "]";
            const py::object s = stages[i];
            if (!PyDict_Check(s.ptr())) ck.fail("key \"" + path + "\" must be " + describe(Kind::Section) + ", got " + Checker::shown(s));
            py::dict st = py::reinterpret_borrow<py::dict>(s);
            ck.keys(st, path,
                    {{"name", Kind::Text, true},
                     {"epochs", Kind::PositiveInt, true},
                     {"encoder_active_layers", Kind::List, true},
                     {"decoder_active_layers", Kind::List, true},
                     {"encoder_freeze", Kind::List},
                     {"decoder_freeze", Kind::List},
                     {"dropout", Kind::Real, true},
                     {"label_smoothing", Kind::Real, true},
                     {"data_subset", Kind::Fraction, true}},
                    true);
            for (const char* list : {"encoder_active_layers", "decoder_active_layers"})
                for (const py::handle v : py::list(st[list]))
                    if (!is_int(v.ptr()) || py::cast<long long>(v) < 0)
                        ck.fail("key \"" + path + "." + list + "\" must list layer indices (non-negative integers), got " +
                                Checker::shown(v));
            for (const char* list : {"encoder_freeze", "decoder_freeze"})
                if (st.contains(list))
                    for (const py::handle v : py::list(st[list]))
                        if (!PyBool_Check(v.ptr()))
                            ck.fail("key \"" + path + "." + list + "\" must list true/false flags, got " + Checker::shown(v));
        }
    } else if (c.contains("stages")) {
        ck.fail("key \"stages\" is only read when task is \"progressive\"");
    }
    return cfg;
}

// ---------------------------------------------------------------------------------------------
// Building the pieces a configuration describes

py::object build_tokenizer(const Config& cfg) {
    const py::dict tok = cfg.data["tokenizer"];
    const py::object cls = py::reinterpret_borrow<py::object>(vk::imported<"velkor.data", "BrixTokenizer">());
    try {
        if (tok.contains("file")) return vk::call(vk::attr<"load">(cls), py::object(tok["file"]));
        py::dict kwargs;
        for (const auto& item : tok) kwargs[item.first] = item.second;
        return cls(**kwargs);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
        config_fail(cfg.file, "section \"tokenizer\": " + str(e.value()));
    }
}

py::object partition_config(const Config& cfg, const char* subset_key) {
    py::dict d = copy_dict(cfg.data["data"]);
    if (std::string(subset_key) != "subset_size")
        d["subset_size"] = d.contains(subset_key) ? py::object(d[subset_key]) : py::object(py::int_(-1));
    return d;
}

void require_dir(const Config& cfg, py::handle dir, const char* key) {
    if (!vk::truthy(vk::call(vk::imported<"os.path", "isdir">(), dir)))
        config_fail(cfg.file,
                    std::string("key \"data.") + key + "\": no such directory " + str(dir) + " (prepare it with `velkor prepare`)");
}

// A dataset of one partition; `stats` (mean, std) for speech partitions other than training.
py::object build_dataset(const Config& cfg, py::handle tokenizer, const char* which, py::handle stats = py::none()) {
    const py::dict data = cfg.data["data"];
    const std::string key = std::string(which) + "_partition";
    const py::object partition = data[key.c_str()];
    const std::string subset_key = std::string(which) == "train" ? "subset_size" : std::string(which) + "_subset_size";
    const py::object dcfg = partition_config(cfg, subset_key.c_str());
    const py::object dir = join(data["root"], partition);
    require_dir(cfg, dir, key.c_str());
    if (!is_speech(cfg)) return vk::call(vk::imported<"velkor.data", "LMDataset">(), partition, dcfg, tokenizer);
    const bool train = std::string(which) == "train";
    return vk::call(vk::imported<"velkor.data", "ASRDataset">(), partition, dcfg, tokenizer, py::bool_(train), stats);
}

py::object loader(const Config& cfg, py::handle dataset, bool shuffle) {
    const py::dict data = cfg.data["data"];
    const py::object batch_size = data["batch_size"], workers = data["NUM_WORKERS"];
    if (shuffle && is_speech(cfg)) {
        // Training batches of utterances of similar length: far less padding to run through.
        const py::object sampler = vk::call(vk::imported<"velkor.data.sampler", "LengthBucketSampler">(), dataset, batch_size,
                                            kw<"shuffle">(true), kw<"seed">(py::object(cfg.data["seed"])));
        return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), dataset, kw<"batch_sampler">(sampler),
                        kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"num_workers">(workers));
    }
    return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), dataset, kw<"batch_size">(batch_size), kw<"shuffle">(shuffle),
                    kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"num_workers">(workers));
}

py::object build_model(const Config& cfg, py::handle tokenizer) {
    py::dict kwargs = copy_dict(cfg.data["model"]);
    kwargs["num_classes"] = vk::attr<"num_classes">(tokenizer);
    const char* class_name = "DecoderOnlyTransformer";
    if (is_speech(cfg)) {
        kwargs["input_dim"] = py::dict(cfg.data["data"])["num_feats"];
        class_name = "EncoderDecoderTransformer";
    }
    const py::object cls = vk::call(vk::imported<"builtins", "getattr">(), vk::imported<"velkor.model">(), class_name);
    try {
        return cls(**kwargs);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        config_fail(cfg.file, "section \"model\": " + str(e.value()));
    }
}

py::object trainer_class(const Config& cfg) {
    if (cfg.task == "lm") return py::reinterpret_borrow<py::object>(vk::imported<"velkor.trainers.wistoke", "LMTrainer">());
    if (cfg.task == "asr") return py::reinterpret_borrow<py::object>(vk::imported<"velkor.trainers.ombrel", "ASRTrainer">());
    return py::reinterpret_borrow<py::object>(vk::imported<"velkor.trainers.ombrel", "ProgressiveTrainer">());
}

py::object expt_root(const Config& cfg) { return join(join(vk::call(vk::imported<"os", "getcwd">()), "expts"), py::str(cfg.name)); }

py::object build_trainer(const Config& cfg, py::handle model, py::handle tokenizer) {
    const py::dict training = cfg.data["training"];
    const py::object device = training.contains("device") ? py::object(training["device"]) : py::object(py::none());
    const py::object abs_file = vk::call(vk::imported<"os.path", "abspath">(), py::str(cfg.file));
    return vk::call(trainer_class(cfg), model, tokenizer, cfg.data, py::str(cfg.name), abs_file, kw<"device">(device));
}

void seed_everything(const Config& cfg) {
    const py::object seed = cfg.data["seed"];
    vk::call(vk::imported<"torch", "manual_seed">(), seed);
    vk::call(vk::imported<"random", "seed">(), seed);
}

// Feature statistics of the training partition, kept in the experiment so that evaluation does
// not need to read the training data again.
py::object stats_path(const Config& cfg) { return join(expt_root(cfg), "feature_stats.pt"); }

py::object training_stats(py::handle train_set) {
    if (!vk::has_attr<"global_mean">(train_set)) return py::none();
    return py::make_tuple(vk::attr<"global_mean">(train_set), vk::attr<"global_std">(train_set));
}

py::object load_stats(const Config& cfg) {
    if (std::string(py::str(py::dict(cfg.data["data"])["norm"])) != "global_mvn") return py::none();
    const py::object path = stats_path(cfg);
    if (!exists(path)) config_fail(cfg.file, "no feature statistics at " + str(path) + ": train this configuration first (`velkor train`)");
    const py::object loaded = vk::call(vk::imported<"torch", "load">(), path, kw<"weights_only">(true));
    return vk::call(vk::imported<"builtins", "tuple">(), loaded);
}

// ---------------------------------------------------------------------------------------------
// Learning curves

void plot_learning_curve(py::handle trainer, const Config& cfg) {
    const py::list history = vk::attr<"training_history">(trainer);
    std::vector<double> epochs;
    std::vector<std::pair<std::string, std::vector<double>>> losses, rates;
    const auto series = [](auto& list, const std::string& label) -> std::vector<double>& {
        for (auto& [l, v] : list)
            if (l == label) return v;
        list.emplace_back(label, std::vector<double>{});
        return list.back().second;
    };
    for (const py::handle rec : history) {
        const py::dict r = py::reinterpret_borrow<py::dict>(rec);
        if (!r.contains("train")) continue;
        epochs.push_back(py::cast<double>(r["epoch"]));
        for (const char* split : {"train", "val"}) {
            if (!r.contains(split)) continue;
            for (const auto& [k, v] : py::dict(r[split])) {
                const std::string name = py::str(k);
                const std::string label = std::string(split) + " " + name;
                const double x = py::cast<double>(v);
                if (name.find("loss") != std::string::npos) series(losses, label).push_back(x);
                const bool rate = is_speech(cfg) ? name == "cer" || name == "wer" : name == "perplexity_char";
                if (rate) series(rates, label).push_back(x);
            }
        }
    }
    if (epochs.empty()) return;
    const py::object plt = py::module_::import("matplotlib.pyplot");
    const py::tuple fig_axes = vk::call(plt.attr("subplots"), 1, 2, kw<"figsize">(py::make_tuple(11, 4)));
    const py::object fig = fig_axes[0];
    const py::object axes = fig_axes[1];
    const py::object left = axes[py::int_(0)], right = axes[py::int_(1)];
    const py::object x = py::cast(epochs);
    for (const auto& [label, v] : losses)
        if (v.size() == epochs.size()) vk::call(left.attr("plot"), x, py::cast(v), kw<"marker">("o"), kw<"label">(label));
    for (const auto& [label, v] : rates)
        if (v.size() == epochs.size()) vk::call(right.attr("plot"), x, py::cast(v), kw<"marker">("o"), kw<"label">(label));
    vk::call(left.attr("set_title"), "Loss per epoch");
    vk::call(right.attr("set_title"), is_speech(cfg) ? "Validation error rates (%) per epoch" : "Per-character perplexity per epoch");
    for (const py::object& ax : {left, right}) {
        vk::call(ax.attr("set_xlabel"), "epoch");
        vk::call(ax.attr("grid"), true, kw<"alpha">(0.3));
        vk::call(ax.attr("legend"));
    }
    vk::call(fig.attr("tight_layout"));
    const py::object path = join(vk::attr<"attn_dir">(trainer), "learning_curve.png");
    vk::call(fig.attr("savefig"), path, kw<"dpi">(100));
    vk::call(plt.attr("close"), fig);
}

// ---------------------------------------------------------------------------------------------
// Training

struct Trained {
    py::object trainer, tokenizer, train_set, val_set, train_loader, val_loader;
};

// Everything a training run needs, the optimizer and scheduler assigned.
Trained setup_training(const Config& cfg) {
    seed_everything(cfg);
    const py::dict training = cfg.data["training"];
    Trained t;
    t.tokenizer = build_tokenizer(cfg);
    const py::object model = build_model(cfg, t.tokenizer);  // before the data: its errors come at once
    t.train_set = build_dataset(cfg, t.tokenizer, "train");
    t.val_set = build_dataset(cfg, t.tokenizer, "val", training_stats(t.train_set));
    if (py::len(t.train_set) == 0) config_fail(cfg.file, "the training partition has no utterances");
    if (py::len(t.val_set) == 0) config_fail(cfg.file, "the validation partition has no utterances");
    t.train_loader = loader(cfg, t.train_set, true);
    t.val_loader = loader(cfg, t.val_set, false);
    t.trainer = build_trainer(cfg, model, t.tokenizer);
    const py::object root = vk::attr<"expt_root">(t.trainer);
    vk::call_method<"save">(t.tokenizer, join(root, "tokenizer.json"));
    const py::object stats = training_stats(t.train_set);
    if (!stats.is_none()) vk::call(vk::imported<"torch", "save">(), stats, stats_path(cfg));

    const py::object optimizer =
        vk::call(vk::imported<"velkor.utils", "gristane">(), vk::attr<"model">(t.trainer), py::object(cfg.data["optimizer"]));
    vk::set_attr<"optimizer">(t.trainer, optimizer);
    const py::object scheduler = vk::call(vk::imported<"velkor.utils", "create_scheduler">(), optimizer, py::object(cfg.data["scheduler"]),
                                          t.train_loader, py::object(training["gradient_accumulation_steps"]));
    vk::set_attr<"scheduler">(t.trainer, scheduler);
    return t;
}

void finish_training(const Config& cfg, const Trained& t) {
    write_json(join(vk::attr<"expt_root">(t.trainer), "training_history.json"), vk::attr<"training_history">(t.trainer));
    plot_learning_curve(t.trainer, cfg);
}

Trained run_train(const Config& cfg, bool resume) {
    Trained t = setup_training(cfg);
    long long epochs = py::cast<long long>(py::dict(cfg.data["training"])["epochs"]);
    if (resume) {
        if (cfg.task == "progressive")
            config_fail(cfg.file, "--resume is not supported for progressive training (its stages change the model)");
        const py::object last = vk::attr<"last_model_path">(t.trainer);
        if (!exists(last)) {
            vk::println("No checkpoint at ", last, ": training from the start");
        } else {
            vk::call_method<"load_checkpoint">(t.trainer, "checkpoint-last-epoch-model.pth");
            // The last checkpoint is written once its epoch is complete: go on with the next one.
            const long long done = py::cast<long long>(vk::attr<"current_epoch">(t.trainer)) + 1;
            vk::set_attr<"current_epoch">(t.trainer, py::int_(done));
            epochs = std::max(0LL, epochs - done);
            vk::println("Resuming after epoch ", done - 1, ": ", epochs, " epoch(s) to go");
        }
    }
    if (cfg.task == "progressive") {
        vk::call_method<"progressive_train">(t.trainer, t.train_loader, t.val_loader, py::object(cfg.data["stages"]));
        if (epochs > 0) vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, epochs);
    } else {
        vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, epochs);
    }
    finish_training(cfg, t);
    return t;
}

// Training held to a time budget (the demo): one epoch is run and timed, then as many more as
// fit, at most max_epochs in all, under a fresh cosine schedule that ends with the last of them.
// The trainers keep the best checkpoint of each train() call; the second call's epochs are all
// later than the first one, so its best is the run's best in practice.
long long train_within(const Config& cfg, const Trained& t, double budget_seconds, long long max_epochs, double eta_min) {
    const auto start = std::chrono::steady_clock::now();
    vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, 1);
    const double first = seconds_since(start);
    const long long fit = static_cast<long long>(std::floor((budget_seconds - first) / std::max(first, 1e-3)));
    const long long more = std::clamp<long long>(fit, 0, max_epochs - 1);
    vk::println("\nThe first epoch took ", vk::fixed_text(first, 0), " s: ", more, " more fit in the ", vk::fixed_text(budget_seconds, 0),
                " s given to ", cfg.name);
    if (more > 0) {
        py::dict cosine;
        cosine["T_max"] = more;
        cosine["eta_min"] = eta_min;
        py::dict sched;
        sched["name"] = "cosine";
        sched["cosine"] = cosine;
        const py::object scheduler = vk::call(vk::imported<"velkor.utils", "create_scheduler">(), vk::attr<"optimizer">(t.trainer), sched,
                                              t.train_loader, py::object(py::dict(cfg.data["training"])["gradient_accumulation_steps"]));
        vk::set_attr<"scheduler">(t.trainer, scheduler);
        vk::call_method<"train">(t.trainer, t.train_loader, t.val_loader, more);
    }
    finish_training(cfg, t);
    return 1 + more;
}

// ---------------------------------------------------------------------------------------------
// Evaluation

// Model weights of the experiment's best checkpoint; returns the epoch it was written in.
py::object load_best(const Config& cfg, py::handle model) {
    const py::object path = join(join(expt_root(cfg), "checkpoints"), "checkpoint-best-metric-model.pth");
    if (!exists(path)) config_fail(cfg.file, "no trained model at " + str(path) + ": run `velkor train " + cfg.file + "` first");
    const py::object ckpt = vk::call(vk::imported<"torch", "load">(), path, kw<"map_location">("cpu"), kw<"weights_only">(true));
    vk::call_method<"load_state_dict">(model, py::object(ckpt["model_state_dict"]));
    vk::call_method<"eval">(model);
    return vk::get<"epoch">(ckpt, py::int_(0));
}

py::object saved_tokenizer(const Config& cfg) {
    const py::object path = join(expt_root(cfg), "tokenizer.json");
    if (exists(path)) return vk::call(vk::attr<"load">(vk::imported<"velkor.data", "BrixTokenizer">()), path);
    return build_tokenizer(cfg);
}

// References of a speech partition, read from its text/ folder in the dataset's file order (the
// datasets leave "test-clean" unlabelled, so recognition results carry no targets there).
std::vector<std::string> references(const Config& cfg, py::handle dataset) {
    std::vector<std::string> refs;
    const py::list files = vk::attr<"fbank_files">(dataset);
    for (const py::handle f : files) {
        const py::object fbank_dir = vk::call(vk::imported<"os.path", "dirname">(), f);
        const py::object text = join(join(vk::call(vk::imported<"os.path", "dirname">(), fbank_dir), "text"),
                                     vk::call(vk::imported<"os.path", "basename">(), f));
        if (!exists(text)) return {};
        const py::object arr = vk::call(vk::imported<"numpy", "load">(), text, kw<"allow_pickle">(false));
        refs.push_back(py::str(py::str("").attr("join")(vk::call_method<"tolist">(arr))));
    }
    (void)cfg;
    return refs;
}

// Recognition with one configuration: records, wall time, and error rates against `refs`.
struct Decoded {
    std::string name;
    py::list records;
    double seconds = 0.0;
    double wer = NAN, cer = NAN;
    std::string error;
};

Decoded decode(py::handle trainer, py::handle test_loader, const std::string& name, py::dict rec_cfg, long long max_length,
               const std::vector<std::string>& refs, py::handle tokenizer) {
    Decoded d;
    d.name = name;
    const auto start = std::chrono::steady_clock::now();
    try {
        d.records = vk::call_method<"recognize">(trainer, test_loader, rec_cfg, py::str(name), py::int_(max_length));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        d.error = str(e.value());
        return d;
    }
    d.seconds = seconds_since(start);
    if (!refs.empty() && refs.size() == d.records.size()) {
        std::vector<std::string> hyps, cleaned;
        const bool lower = vk::has_attr<"lowercase">(tokenizer) && vk::truthy(vk::attr<"lowercase">(tokenizer));
        for (std::size_t i = 0; i < refs.size(); ++i) {
            hyps.push_back(py::str(py::dict(d.records[i])["generated"]));
            cleaned.push_back(lower ? lowercase(refs[i]) : refs[i]);
        }
        const py::dict m = vk::call_method<"_calculate_asr_metrics">(trainer, py::cast(cleaned), py::cast(hyps));
        d.wer = py::cast<double>(m["wer"]);
        d.cer = py::cast<double>(m["cer"]);
    }
    return d;
}

py::dict recognition_config(py::handle base, long long beam_width, py::handle lm_model, double lm_weight) {
    py::dict r;
    r["num_batches"] = py::none();
    r["beam_width"] = beam_width;
    r["temperature"] = 1.0;
    r["repeat_penalty"] = 1.0;
    r["lm_weight"] = lm_weight;
    r["lm_model"] = lm_model;
    for (const auto& [k, v] : py::reinterpret_borrow<py::dict>(base)) {
        const std::string key = py::str(k);
        if (key == "beam_width" || key == "lm_weight" || key == "max_length") continue;
        r[k] = v;
    }
    return r;
}

std::string fmt(double v, int decimals) { return std::isnan(v) ? "-" : vk::fixed_text(v, decimals); }

// Prints the results table and writes it as CSV and JSON; returns the data frame.
py::object results_table(const std::vector<Decoded>& runs, py::handle out_dir, long long utterances) {
    py::list rows;
    for (const Decoded& d : runs) {
        py::dict row;
        row["decoding"] = d.name;
        row["WER (%)"] = d.error.empty() ? py::object(py::float_(d.wer)) : py::object(py::none());
        row["CER (%)"] = d.error.empty() ? py::object(py::float_(d.cer)) : py::object(py::none());
        row["ms per utterance"] = d.error.empty() && utterances > 0
                                      ? py::object(py::float_(1000.0 * d.seconds / static_cast<double>(utterances)))
                                      : py::object(py::none());
        row["note"] = d.error.empty() ? std::string() : "not available: " + d.error;
        rows.append(row);
    }
    const py::object frame = vk::call(vk::imported<"pandas", "DataFrame">(), rows);
    vk::call_method<"to_csv">(frame, join(out_dir, "results.csv"), kw<"index">(false));
    write_json(join(out_dir, "results.json"), rows);
    // The printed table: fixed decimals; decodings that could not run are listed under it.
    py::list shown;
    for (const Decoded& d : runs) {
        if (!d.error.empty()) continue;
        py::dict row;
        row["decoding"] = d.name;
        row["WER (%)"] = fmt(d.wer, 2);
        row["CER (%)"] = fmt(d.cer, 2);
        row["ms/utt"] = utterances > 0 ? fmt(1000.0 * d.seconds / static_cast<double>(utterances), 1) : "-";
        shown.append(row);
    }
    vk::println(vk::call_method<"to_string">(vk::call(vk::imported<"pandas", "DataFrame">(), shown), kw<"index">(false)));
    for (const Decoded& d : runs)
        if (!d.error.empty()) vk::println("Not run: ", d.name, " (", d.error, ")");
    return frame;
}

struct LanguageModel {
    py::object model;
    std::string name;
};

LanguageModel load_lm(const std::string& file, py::handle asr_tokenizer) {
    const Config lm_cfg = load_config(file);
    if (lm_cfg.task != "lm") config_fail(file, "key \"task\" must be \"lm\" for a fusion language model, got \"" + lm_cfg.task + "\"");
    const py::object tok = saved_tokenizer(lm_cfg);
    if (py::cast<long long>(vk::attr<"num_classes">(tok)) != py::cast<long long>(vk::attr<"num_classes">(asr_tokenizer)))
        config_fail(file, "the language model's tokenizer has " + str(vk::attr<"num_classes">(tok)) + " classes, the speech model's " +
                              str(vk::attr<"num_classes">(asr_tokenizer)) + ": they must share one vocabulary");
    const py::object model = build_model(lm_cfg, tok);
    load_best(lm_cfg, model);
    return {model, lm_cfg.name};
}

// A Python context manager held for a C++ scope.
class Context {
public:
    explicit Context(py::object manager) : manager_(std::move(manager)) { vk::call_method<"__enter__">(manager_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() {
        try {
            vk::call_method<"__exit__">(manager_, py::none(), py::none(), py::none());
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("velkor.cli: leaving a context");
        }
    }

private:
    py::object manager_;
};

// Best-path decoding of the CTC branch: the most probable class per encoder frame, repeats
// merged, blanks dropped. Records in loader order, as recognize() gives them.
Decoded ctc_best_path(py::handle trainer, py::handle test_loader, py::handle tokenizer, const std::vector<std::string>& refs) {
    Decoded d;
    d.name = "ctc_greedy";
    const py::object model = vk::attr<"model">(trainer);
    const py::object device = vk::attr<"device">(trainer);
    const py::object pad = vk::attr<"pad_id">(tokenizer);
    const auto start = std::chrono::steady_clock::now();
    try {
        vk::call_method<"eval">(model);
        const Context no_grad(vk::call(vk::imported<"torch", "inference_mode">()));
        for (const py::handle batch : test_loader) {
            const py::tuple b = py::reinterpret_borrow<py::tuple>(batch);
            const py::object feats = vk::call_method<"to">(b[0], device), lengths = vk::call_method<"to">(b[3], device);
            const py::tuple encoded = vk::call_method<"encode">(model, feats, lengths);
            const py::object ctc = encoded[3];
            const py::tuple best = vk::call(vk::imported<"velkor.decoding.ctc", "best_path">(), py::object(ctc["log_probs"]),
                                            py::object(ctc["lengths"]), kw<"blank">(pad));
            for (const py::handle ids : best[0]) {
                py::dict r;
                r["generated"] = vk::call_method<"decode">(tokenizer, ids, kw<"skip_special_tokens">(true));
                d.records.append(r);
            }
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        d.error = str(e.value());
        return d;
    }
    d.seconds = seconds_since(start);
    if (!refs.empty() && refs.size() == d.records.size()) {
        std::vector<std::string> hyps;
        for (const py::handle r : d.records) hyps.push_back(py::str(py::dict(py::reinterpret_borrow<py::dict>(r))["generated"]));
        const bool lower = vk::has_attr<"lowercase">(tokenizer) && vk::truthy(vk::attr<"lowercase">(tokenizer));
        std::vector<std::string> cleaned;
        for (const std::string& ref : refs) cleaned.push_back(lower ? lowercase(ref) : ref);
        const py::dict m = vk::call_method<"_calculate_asr_metrics">(trainer, py::cast(cleaned), py::cast(hyps));
        d.wer = py::cast<double>(m["wer"]);
        d.cer = py::cast<double>(m["cer"]);
    }
    return d;
}

// Longest hypothesis decoded: the configured "max_length", else half as long again as the
// longest reference plus 10 tokens, else the model's limit.
long long decoding_length(const Config& cfg, py::handle trainer, py::handle tokenizer, const std::vector<std::string>& refs) {
    const py::dict rec = cfg.data["recognition"];
    if (rec.contains("max_length")) return py::cast<long long>(rec["max_length"]);
    if (refs.empty()) return py::cast<long long>(vk::attr<"max_len">(vk::attr<"model">(trainer)));
    long long longest = 0;
    for (const std::string& r : refs) longest = std::max<long long>(longest, py::len(vk::call_method<"encode">(tokenizer, r)));
    return longest + longest / 2 + 10;
}

// Greedy, beam, beam with LM fusion (when an LM is given) and, where the decoders offer them,
// CTC and joint CTC/attention decoding of the test partition.
std::vector<Decoded> evaluate_speech(const Config& cfg, py::handle trainer, py::handle tokenizer, py::handle test_set, py::handle lm_model,
                                     double lm_weight, bool extra_decoders) {
    const py::object test_loader = loader(cfg, test_set, false);
    const std::vector<std::string> refs = references(cfg, test_set);
    const py::dict rec = cfg.data["recognition"];
    const long long beam = rec.contains("beam_width") ? py::cast<long long>(rec["beam_width"]) : 10;
    const long long max_length = decoding_length(cfg, trainer, tokenizer, refs);
    std::vector<std::pair<std::string, py::dict>> plans;
    plans.emplace_back("greedy", recognition_config(rec, 1, py::none(), 0.0));
    plans.emplace_back("beam_" + std::to_string(beam), recognition_config(rec, beam, py::none(), 0.0));
    if (!lm_model.is_none()) plans.emplace_back("beam_" + std::to_string(beam) + "+lm", recognition_config(rec, beam, lm_model, lm_weight));
    if (extra_decoders) {
        py::dict joint = recognition_config(rec, beam, py::none(), 0.0);
        joint["ctc_weight"] = 0.3;
        plans.emplace_back("joint_ctc_attention_beam_" + std::to_string(beam), joint);
    }
    std::vector<Decoded> runs;
    for (auto& [name, plan] : plans) {
        vk::println("Decoding the test partition: ", name);
        runs.push_back(decode(trainer, test_loader, name, plan, max_length, refs, tokenizer));
    }
    if (vk::has_attr<"encode">(vk::attr<"model">(trainer))) {
        vk::println("Decoding the test partition: ctc_greedy");
        runs.push_back(ctc_best_path(trainer, test_loader, tokenizer, refs));
    }
    return runs;
}

void print_pairs(const Decoded& d, const std::vector<std::string>& refs, std::size_t count) {
    if (!d.error.empty() || refs.empty()) return;
    vk::println("\nSome test utterances (", d.name, "):");
    for (std::size_t i = 0; i < std::min(count, refs.size()); ++i) {
        vk::println(vk::kBranch, "REF: ", refs[i]);
        vk::println(i + 1 == std::min(count, refs.size()) ? vk::kLast : vk::kBranch, "HYP: ", py::str(py::dict(d.records[i])["generated"]));
    }
}

py::object evaluation_dir(py::handle trainer) {
    const py::object dir = join(vk::attr<"expt_root">(trainer), "evaluation");
    make_dirs(dir);
    return dir;
}

void save_records(py::handle dir, const std::vector<Decoded>& runs) {
    for (const Decoded& d : runs)
        if (d.error.empty()) write_json(join(dir, py::str("hypotheses_" + d.name + ".json")), d.records);
}

int run_evaluate(const Config& cfg, const std::string& lm_file, double lm_weight) {
    seed_everything(cfg);
    const py::object tokenizer = saved_tokenizer(cfg);
    const py::object model = build_model(cfg, tokenizer);
    const py::object epoch = load_best(cfg, model);
    const py::object trainer = build_trainer(cfg, model, tokenizer);
    vk::set_attr<"current_epoch">(trainer, epoch);
    // The trainers log the learning rate with every record: a stand-in optimizer that never steps.
    const py::object params = vk::call_method<"parameters">(vk::attr<"model">(trainer));
    vk::set_attr<"optimizer">(
        trainer, vk::call(vk::imported<"torch.optim", "SGD">(), params, kw<"lr">(py::object(py::dict(cfg.data["optimizer"])["lr"]))));
    const py::object out = evaluation_dir(trainer);
    if (!is_speech(cfg)) {
        if (!lm_file.empty()) config_fail(cfg.file, "--lm applies to speech models only");
        const py::object test_set = build_dataset(cfg, tokenizer, "test");
        const py::tuple result = vk::call_method<"evaluate">(trainer, loader(cfg, test_set, false));
        const py::dict metrics = result[0];
        py::list rows;
        for (const auto& [k, v] : metrics) {
            py::dict row;
            row["metric"] = k;
            row["value"] = v;
            rows.append(row);
        }
        const py::object frame = vk::call(vk::imported<"pandas", "DataFrame">(), rows);
        vk::println("\nTest metrics of ", cfg.name, ":");
        vk::println(vk::call_method<"to_string">(frame, kw<"index">(false)));
        vk::call_method<"to_csv">(frame, join(out, "results.csv"), kw<"index">(false));
        py::dict all;
        all["metrics"] = metrics;
        all["generation"] = result[1];
        write_json(join(out, "results.json"), all);
        vk::println("\nResults: ", join(out, "results.csv"), ", ", join(out, "results.json"));
        vk::call_method<"cleanup">(trainer);
        return 0;
    }
    const py::object test_set = build_dataset(cfg, tokenizer, "test", load_stats(cfg));
    py::object lm_model = py::none();
    if (!lm_file.empty()) lm_model = load_lm(lm_file, tokenizer).model;
    const std::vector<Decoded> runs = evaluate_speech(cfg, trainer, tokenizer, test_set, lm_model, lm_weight, false);
    vk::println("\nTest results of ", cfg.name, " (", py::len(test_set), " utterances):");
    results_table(runs, out, py::len(test_set));
    print_pairs(runs.front(), references(cfg, test_set), 3);
    save_records(out, runs);
    vk::println("\nResults: ", join(out, "results.csv"), ", ", join(out, "results.json"), ", hypotheses_*.json");
    vk::call_method<"cleanup">(trainer);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The demonstration

struct DemoPlan {
    std::string out = "data/demo";
    long long train = 3000, dev = 100, test = 200;
    long long lm_epochs = 4, asr_epochs = 30;  // upper bounds: the time budget decides
    double minutes = 10.0;
};

py::dict parse_yaml_text(const char* text) { return vk::call(vk::imported<"yaml", "safe_load">(), text); }

// The demo's configurations: written as YAML next to the data, so that `velkor train` and
// `velkor evaluate` can rerun them as they are.
std::string write_demo_config(const std::string& dir, const char* name, py::dict config) {
    const std::string path = dir + "/" + name + ".yaml";
    const py::object text = vk::call(vk::imported<"yaml", "safe_dump">(), config, kw<"sort_keys">(false));
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), path), text, kw<"encoding">("utf-8"));
    return path;
}

constexpr const char* kDemoLm = R"(
name: demo-lm
task: lm
seed: 0
tokenizer: {token_type: char}
data: {root: DATA/lm, train_partition: train, val_partition: dev, test_partition: test, batch_size: 64, NUM_WORKERS: 0, subset_size: 0.5}
model: {d_model: 128, num_layers: 2, num_heads: 4, d_ff: 512, dropout: 0.0, max_len: 256}
optimizer: {name: adamw, lr: 0.002, weight_decay: 0.01}
scheduler: {name: cosine, cosine: {T_max: EPOCHS, eta_min: 0.0001}}
training: {epochs: EPOCHS, gradient_accumulation_steps: 1, amp_dtype: float32}
generation: {}
)";

constexpr const char* kDemoAsr = R"(
name: demo-asr
task: asr
seed: 0
tokenizer: {token_type: char}
data:
  root: DATA/speech
  batch_size: 16
  NUM_WORKERS: 0
  num_feats: 80
  norm: global_mvn
  specaug: false
model:
  d_model: 96
  num_encoder_layers: 4
  num_decoder_layers: 2
  num_encoder_heads: 4
  num_decoder_heads: 4
  d_ff_encoder: 384
  d_ff_decoder: 384
  dropout: 0.0
  max_len: 512
  time_reduction: 4
  reduction_method: lstm
optimizer: {name: adamw, lr: 0.002, weight_decay: 0.01}
scheduler:
  name: cosine
  cosine: {T_max: EPOCHS, eta_min: 0.00005}
  warmup: {enabled: true, epochs: 1, start_factor: 0.05}
training: {epochs: EPOCHS, gradient_accumulation_steps: 1, amp_dtype: float32}
loss: {label_smoothing: 0.1, ctc_weight: 0.5}
recognition: {beam_width: 4}
)";

py::dict demo_config(const char* text, const std::string& out, long long epochs) {
    std::string s(text);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"DATA", out}, {"EPOCHS", std::to_string(epochs)}}) {
        for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    }
    return parse_yaml_text(s.c_str());
}

// Per-token cross-entropy (nats) of a unigram model with add-one smoothing, estimated on the
// training targets and measured on the validation targets (end ids included, as the LM sees them).
double unigram_cross_entropy(py::handle train_set, py::handle val_set, long long vocab) {
    std::vector<double> counts(static_cast<std::size_t>(vocab), 1.0);
    double total = static_cast<double>(vocab);
    for (const py::handle seq : py::list(vk::attr<"transcripts_golden">(train_set)))
        for (const py::handle id : seq) {
            const long long i = py::cast<long long>(id);
            if (i < 0 || i >= vocab) continue;
            counts[static_cast<std::size_t>(i)] += 1.0;
            total += 1.0;
        }
    double nll = 0.0;
    long long n = 0;
    for (const py::handle seq : py::list(vk::attr<"transcripts_golden">(val_set)))
        for (const py::handle id : seq) {
            const long long i = py::cast<long long>(id);
            if (i < 0 || i >= vocab) continue;
            nll -= std::log(counts[static_cast<std::size_t>(i)] / total);
            ++n;
        }
    return n > 0 ? nll / static_cast<double>(n) : NAN;
}

void heading(const std::string& title) { vk::println("\n", std::string(80, '='), "\n", title, "\n", std::string(80, '=')); }

// CPU threads for the demo's tensors: every core on a quiet machine, fewer when other processes
// already keep the cores busy (threads that wait for each other's cores run several times slower
// than one thread alone).
void pick_threads() {
    if (vk::truthy(vk::call(vk::imported<"torch.cuda", "is_available">()))) return;
    const long long cores = py::cast<long long>(vk::call(vk::imported<"torch", "get_num_threads">()));
    const double load = py::cast<double>(py::tuple(vk::call(vk::imported<"os", "getloadavg">()))[0]);
    const long long threads = std::clamp<long long>(cores - static_cast<long long>(std::floor(load)), 1, cores);
    vk::call(vk::imported<"torch", "set_num_threads">(), threads);
    vk::println("CPU threads: ", threads, " of ", cores, " (load average ", vk::fixed_text(load, 1), ")");
}

int run_demo(const DemoPlan& plan) {
    const auto start = std::chrono::steady_clock::now();
    const double budget = plan.minutes * 60.0;
    // Fail before any work when the speech synthesizer is missing (the message names the extra).
    vk::call(vk::imported<"velkor.data.synth", "sample_rate">());
    pick_threads();
    const py::module_ prep = py::module_::import("velkor.data.prepare");
    const std::string& out = plan.out;
    make_dirs(py::str(out + "/configs"));

    heading("1/5  Data: " + out);
    const py::object lm_text = vk::call(prep.attr("embedded_text"), "lm");
    py::dict splits;
    splits["train"] = 0.94;
    splits["dev"] = 0.03;
    splits["test"] = 0.03;
    vk::call(prep.attr("prepare_text"), lm_text, py::str(out + "/lm"), kw<"splits">(splits), kw<"max_chars">(200));
    vk::call(prep.attr("prepare_synth"), py::str(out + "/speech"), kw<"num_train">(plan.train), kw<"num_dev">(plan.dev),
             kw<"num_test">(plan.test), kw<"min_rate">(170), kw<"max_rate">(220));
    const double t_data = seconds_since(start);

    const std::string lm_path = write_demo_config(out + "/configs", "demo-lm", demo_config(kDemoLm, out, plan.lm_epochs));
    const std::string asr_path = write_demo_config(out + "/configs", "demo-asr", demo_config(kDemoAsr, out, plan.asr_epochs));

    // The time budget: about 12% for the language model, 10% kept for the evaluation, the rest
    // for the speech model.
    heading("2/5  Character language model (" + lm_path + ")");
    const Config lm_cfg = load_config(lm_path);
    const auto t0 = std::chrono::steady_clock::now();
    const Trained lm = setup_training(lm_cfg);
    const long long lm_epochs = train_within(lm_cfg, lm, 0.12 * budget, plan.lm_epochs, 1e-4);
    const double t_lm = seconds_since(t0);
    const double lm_ce = py::cast<double>(vk::attr<"best_metric">(lm.trainer));
    const double uni_ce = unigram_cross_entropy(lm.train_set, lm.val_set, py::cast<long long>(vk::attr<"num_classes">(lm.tokenizer))) /
                          py::cast<double>(vk::call_method<"get_avg_chars_per_token">(lm.val_set));

    heading("3/5  Joint CTC/attention speech recognizer (" + asr_path + ")");
    const Config asr_cfg = load_config(asr_path);
    const auto t1 = std::chrono::steady_clock::now();
    const Trained asr = setup_training(asr_cfg);
    const double asr_budget = std::max(0.0, 0.90 * budget - seconds_since(start));
    const long long asr_epochs = train_within(asr_cfg, asr, asr_budget, plan.asr_epochs, 5e-5);
    const double t_asr = seconds_since(t1);

    heading("4/5  Evaluation on the test partition");
    const py::object best_model = vk::attr<"model">(asr.trainer);
    load_best(asr_cfg, best_model);
    const py::object lm_model = vk::attr<"model">(lm.trainer);
    load_best(lm_cfg, lm_model);
    const py::object test_set = build_dataset(asr_cfg, asr.tokenizer, "test", training_stats(asr.train_set));
    const std::vector<std::string> refs = references(asr_cfg, test_set);
    const auto t2 = std::chrono::steady_clock::now();
    std::vector<Decoded> runs = evaluate_speech(asr_cfg, asr.trainer, asr.tokenizer, test_set, lm_model, 0.3, true);
    // An untrained model of the same shape, for scale.
    seed_everything(asr_cfg);
    const py::object untrained = build_model(asr_cfg, asr.tokenizer);
    vk::call_method<"to">(untrained, vk::attr<"device">(asr.trainer));
    vk::set_attr<"model">(asr.trainer, untrained);
    const py::object test_loader = loader(asr_cfg, test_set, false);
    vk::println("Decoding the test partition: greedy, untrained model");
    const Decoded before = decode(asr.trainer, test_loader, "greedy (untrained)", recognition_config(py::dict(), 1, py::none(), 0.0),
                                  decoding_length(asr_cfg, asr.trainer, asr.tokenizer, refs), refs, asr.tokenizer);
    vk::set_attr<"model">(asr.trainer, best_model);
    const double t_eval = seconds_since(t2);
    const py::object eval_dir = evaluation_dir(asr.trainer);
    save_records(eval_dir, runs);

    heading("5/5  Results");
    vk::println("Test partition: ", refs.size(), " synthesized utterances of sentences that neither model saw in training.\n");
    results_table(runs, eval_dir, static_cast<long long>(refs.size()));
    print_pairs(runs.front(), refs, 4);

    vk::println("\nLearning, shown:");
    vk::println(vk::kBranch, "LM validation per-character perplexity: ", fmt(std::exp(lm_ce), 2),
                " (unigram model: ", fmt(std::exp(uni_ce), 2), ") after ", lm_epochs, " epoch(s)");
    vk::println(vk::kLast, "ASR test CER, greedy: ", fmt(runs.front().cer, 2), "% (the same model untrained: ", fmt(before.cer, 2),
                "%) after ", asr_epochs, " epochs");

    const double total = seconds_since(start);
    vk::println("\nTime: data ", fmt(t_data, 0), " s, LM training ", fmt(t_lm, 0), " s, ASR training ", fmt(t_asr, 0), " s, evaluation ",
                fmt(t_eval, 0), " s; total ", fmt(total, 0), " s (budget ", fmt(budget, 0), " s)");
    const py::object lm_root = vk::attr<"expt_root">(lm.trainer), asr_root = vk::attr<"expt_root">(asr.trainer);
    vk::println("\nWhere everything is:");
    vk::println(vk::kBranch, "Datasets:            ", out, "/speech (train-clean-100, dev-clean, test-clean), ", out,
                "/lm (train, dev, test)");
    vk::println(vk::kBranch, "Configurations:      ", lm_path, ", ", asr_path);
    vk::println(vk::kBranch, "LM experiment:       ", lm_root, " (config.yaml, model_arch.txt, checkpoints/, attn/, text/)");
    vk::println(vk::kBranch, "ASR experiment:      ", asr_root, " (config.yaml, model_arch.txt, checkpoints/, attn/, text/)");
    vk::println(vk::kBranch, "Learning curves:     ", join(join(asr_root, "attn"), "learning_curve.png"), ", ",
                join(join(lm_root, "attn"), "learning_curve.png"));
    vk::println(vk::kBranch, "Attention heat maps: ", join(asr_root, "attn"), "/decoder_*_attention_epoch*.png");
    vk::println(vk::kLast, "Test results:        ", join(eval_dir, "results.csv"), ", results.json, hypotheses_*.json");
    vk::println("\nRerun a step: velkor train ", asr_path, "   |   velkor evaluate ", asr_path, " --lm ", lm_path, " --lm-weight 0.3");
    vk::call_method<"cleanup">(lm.trainer);
    vk::call_method<"cleanup">(asr.trainer);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Command line

py::object add_parser(py::handle subparsers, const char* name, const char* help, const char* description) {
    return vk::call(vk::attr<"add_parser">(subparsers), name, kw<"help">(help), kw<"description">(description));
}

template <class... A>
void add_arg(py::handle parser, A&&... args) {
    vk::call(vk::attr<"add_argument">(parser), std::forward<A>(args)...);
}

py::object build_parser() {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::handle real = vk::imported<"builtins", "float">();
    const py::object parser = vk::call(vk::imported<"argparse", "ArgumentParser">(), kw<"prog">("velkor"),
                                       kw<"description">("Train and run attention-based speech recognition and language models."));
    const py::object commands = vk::call(vk::attr<"add_subparsers">(parser), kw<"dest">("command"), kw<"metavar">("COMMAND"));
    vk::set_attr<"required">(commands, py::bool_(true));

    const py::object prepare =
        add_parser(commands, "prepare", "build a dataset on disk",
                   "Build a dataset in the layout the datasets read: <root>/<partition>/fbank/*.npy and text/*.npy.");
    const py::object kinds = vk::call(vk::attr<"add_subparsers">(prepare), kw<"dest">("kind"), kw<"metavar">("KIND"));
    vk::set_attr<"required">(kinds, py::bool_(true));
    const py::object synth = add_parser(kinds, "synth", "a speech dataset spoken by eSpeak NG (extra 'synth')",
                                        "Speak sentences of a text file with eSpeak NG (several voices, speeds and pitches) and store "
                                        "80-dimensional log-mel filter banks and transcripts in the partitions train-clean-100, "
                                        "dev-clean and test-clean. Needs the optional extra: pip install 'velkor[synth]'.");
    add_arg(synth, "--text", kw<"metavar">("FILE"),
            kw<"help">("sentences, one per line (default: embedded:asr, the embedded public-domain text)"));
    add_arg(synth, "--output", kw<"default">("data/synth"), kw<"metavar">("DIR"), kw<"help">("dataset root (default: data/synth)"));
    add_arg(synth, "--train", kw<"type">(integer), kw<"default">(2000), kw<"help">("training utterances (default: 2000)"));
    add_arg(synth, "--dev", kw<"type">(integer), kw<"default">(100), kw<"help">("validation utterances (default: 100)"));
    add_arg(synth, "--test", kw<"type">(integer), kw<"default">(100), kw<"help">("test utterances (default: 100)"));
    add_arg(synth, "--voices", kw<"metavar">("V1,V2"), kw<"help">("comma-separated eSpeak NG voices (default: six English voices)"));
    add_arg(synth, "--min-words", kw<"type">(integer), kw<"default">(3), kw<"help">("shortest sentence used, in words (default: 3)"));
    add_arg(synth, "--max-words", kw<"type">(integer), kw<"default">(12), kw<"help">("longest sentence used, in words (default: 12)"));
    add_arg(synth, "--seed", kw<"type">(integer), kw<"default">(0), kw<"help">("seed of the sentence order and voice draws"));

    const py::object audio = add_parser(kinds, "audio", "a speech partition from your recordings",
                                        "Build one partition from recordings: a LibriSpeech-style folder (*.flac with *.trans.txt) or a "
                                        "TSV file of audio path and transcript. Audio not at 16 kHz is resampled; unreadable files are "
                                        "reported and skipped.");
    add_arg(audio, "source", kw<"help">("LibriSpeech-style folder or TSV file"));
    add_arg(audio, "output", kw<"help">("partition folder to write, e.g. data/libri/train-clean-100"));

    const py::object text = add_parser(kinds, "text", "a language-model partition from a text file",
                                       "Write one transcript array per non-empty line of a text file into a partition folder.");
    add_arg(text, "text_file", kw<"help">("text file, one transcript per line; embedded:lm for the embedded text"));
    add_arg(text, "output", kw<"help">("partition folder (or the root of the --splits partitions)"));
    add_arg(text, "--splits", kw<"metavar">("NAME=FRACTION,..."),
            kw<"help">("shuffle the lines and deal them into partitions, e.g. train=0.9,dev=0.05,test=0.05"));
    add_arg(text, "--seed", kw<"type">(integer), kw<"default">(0), kw<"help">("seed of the shuffle for --splits"));
    add_arg(text, "--max-chars", kw<"type">(integer), kw<"metavar">("N"), kw<"help">("skip lines longer than N characters"));

    const py::object train = add_parser(commands, "train", "train the model a YAML configuration describes",
                                        "Train with the trainer named by the configuration's task (lm, asr, progressive). The "
                                        "experiment goes to expts/<name>/ under the working directory.");
    add_arg(train, "config", kw<"help">("YAML configuration file"));
    add_arg(train, "--resume", kw<"action">("store_true"), kw<"help">("continue from the experiment's last checkpoint"));

    const py::object evaluate = add_parser(commands, "evaluate", "evaluate the best checkpoint on the test partition",
                                           "Load the experiment's best checkpoint and print the test results as a table (also saved as "
                                           "CSV and JSON in expts/<name>/evaluation/).");
    add_arg(evaluate, "config", kw<"help">("YAML configuration file of a trained experiment"));
    add_arg(evaluate, "--lm", kw<"metavar">("LM_CONFIG"), kw<"help">("configuration of a trained language model for shallow fusion"));
    add_arg(evaluate, "--lm-weight", kw<"type">(real), kw<"default">(0.3),
            kw<"help">("weight of the language model scores (default: 0.3)"));

    const py::object demo = add_parser(commands, "demo", "the whole road on the embedded text, in about 10 minutes",
                                       "Prepare data from the embedded text, train a character LM and a joint CTC/attention speech "
                                       "recognizer, evaluate greedy, beam and beam+LM decoding on the test partition and show where "
                                       "every output is. Needs the optional extra 'synth'.");
    add_arg(demo, "--output", kw<"default">("data/demo"), kw<"metavar">("DIR"), kw<"help">("data and configurations (default: data/demo)"));
    add_arg(demo, "--train", kw<"type">(integer), kw<"default">(3000), kw<"help">("training utterances (default: 3000)"));
    add_arg(demo, "--test", kw<"type">(integer), kw<"default">(200), kw<"help">("test utterances (default: 200)"));
    add_arg(demo, "--minutes", kw<"type">(real), kw<"default">(10.0),
            kw<"help">("time budget: the models train for as many epochs as fit (default: 10)"));
    add_arg(demo, "--lm-epochs", kw<"type">(integer), kw<"default">(4),
            kw<"help">("at most this many LM epochs, each over half the LM text (default: 4)"));
    add_arg(demo, "--asr-epochs", kw<"type">(integer), kw<"default">(30), kw<"help">("at most this many ASR epochs (default: 30)"));
    return parser;
}

std::vector<std::string> split_commas(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t comma = s.find(',', start);
        const std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

int dispatch(py::handle args) {
    const std::string command = py::str(vk::attr<"command">(args));
    if (command == "prepare") {
        const py::module_ prep = py::module_::import("velkor.data.prepare");
        const std::string kind = py::str(vk::attr<"kind">(args));
        if (kind == "synth") {
            py::object voices = py::none();
            if (!vk::attr<"voices">(args).is_none()) voices = py::cast(split_commas(py::str(vk::attr<"voices">(args))));
            vk::call(prep.attr("prepare_synth"), vk::attr<"output">(args), kw<"text_file">(vk::attr<"text">(args)),
                     kw<"num_train">(vk::attr<"train">(args)), kw<"num_dev">(vk::attr<"dev">(args)), kw<"num_test">(vk::attr<"test">(args)),
                     kw<"voices">(voices), kw<"min_words">(vk::attr<"min_words">(args)), kw<"max_words">(vk::attr<"max_words">(args)),
                     kw<"seed">(vk::attr<"seed">(args)));
        } else if (kind == "audio") {
            vk::call(prep.attr("prepare_audio"), vk::attr<"source">(args), vk::attr<"output">(args));
        } else {
            py::object splits = py::none();
            if (!vk::attr<"splits">(args).is_none()) {
                py::dict d;
                for (const std::string& item : split_commas(py::str(vk::attr<"splits">(args)))) {
                    const std::size_t eq = item.find('=');
                    double f = NAN;
                    if (eq != std::string::npos) {
                        try {
                            f = std::stod(item.substr(eq + 1));
                        } catch (const std::exception&) {
                        }
                    }
                    if (eq == std::string::npos || eq == 0 || !std::isfinite(f))
                        throw py::value_error("--splits: expected NAME=FRACTION, got '" + item + "'");
                    d[py::str(item.substr(0, eq))] = f;
                }
                splits = d;
            }
            vk::call(prep.attr("prepare_text"), vk::attr<"text_file">(args), vk::attr<"output">(args), kw<"splits">(splits),
                     kw<"seed">(vk::attr<"seed">(args)), kw<"max_chars">(vk::attr<"max_chars">(args)));
        }
        return 0;
    }
    if (command == "train") {
        const Config cfg = load_config(py::str(vk::attr<"config">(args)));
        const Trained t = run_train(cfg, vk::truthy(vk::attr<"resume">(args)));
        vk::println("\nExperiment: ", vk::attr<"expt_root">(t.trainer));
        vk::call_method<"cleanup">(t.trainer);
        return 0;
    }
    if (command == "evaluate") {
        const Config cfg = load_config(py::str(vk::attr<"config">(args)));
        const py::object lm = vk::attr<"lm">(args);
        return run_evaluate(cfg, lm.is_none() ? std::string() : std::string(py::str(lm)), py::cast<double>(vk::attr<"lm_weight">(args)));
    }
    DemoPlan plan;
    plan.out = py::str(vk::attr<"output">(args));
    plan.train = py::cast<long long>(vk::attr<"train">(args));
    plan.test = py::cast<long long>(vk::attr<"test">(args));
    plan.lm_epochs = py::cast<long long>(vk::attr<"lm_epochs">(args));
    plan.asr_epochs = py::cast<long long>(vk::attr<"asr_epochs">(args));
    plan.minutes = py::cast<double>(vk::attr<"minutes">(args));
    if (plan.train <= 0 || plan.test <= 0 || plan.lm_epochs <= 0 || plan.asr_epochs <= 0 || !(plan.minutes > 0.0))
        throw py::value_error("--train, --test, --minutes, --lm-epochs and --asr-epochs must be positive");
    return run_demo(plan);
}

void print_error(const std::string& message) {
    const py::object stderr_ = vk::imported<"sys">().attr("stderr");
    vk::call(vk::imported<"builtins", "print">(), py::str("velkor: error: " + message), kw<"file">(stderr_));
}

using MainArgs = vk::Args<"argv=None">;

py::object main_entry(py::handle, const MainArgs& a) {
    const py::object parser = build_parser();
    py::object argv = py::reinterpret_borrow<py::object>(a.get<"argv">());
    const py::object args = vk::call(vk::attr<"parse_args">(parser), argv);
    try {
        return py::int_(dispatch(args));
    } catch (py::error_already_set& e) {
        // Errors a user can act on get one line; anything else keeps its traceback.
        if (e.matches(g_config_error) || e.matches(PyExc_ModuleNotFoundError) || e.matches(PyExc_FileNotFoundError)) {
            print_error(str(e.value()));
            return py::int_(e.matches(g_config_error) ? 2 : 1);
        }
        throw;
    }
}

using LoadConfigArgs = vk::Args<"path">;
py::object load_config_entry(py::handle, const LoadConfigArgs& a) {
    const py::object fs = vk::call(vk::imported<"os", "fspath">(), a.get<"path">());
    return load_config(py::str(fs)).data;
}

constexpr vk::Def kMain{"main", main_entry,
                        "Runs the `velkor` command with argv (default: sys.argv[1:]) and returns its exit status: 0 on success, "
                        "2 for a configuration error, 1 for a missing file or optional package."};
constexpr vk::Def kLoadConfig{"load_config", load_config_entry,
                              "Reads and checks a YAML configuration, filling in defaults. Raises ConfigError naming the key and "
                              "the file for a missing or malformed key."};

}  // namespace

PYBIND11_MODULE(cli, m) {
    m.doc() = "The `velkor` command line: prepare data, train, evaluate, and the end-to-end demo.";
    const py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::dict ns;
    ns["__module__"] = "velkor.cli";
    ns["__doc__"] = "A configuration file with a missing or malformed key; the message names the file and the key.";
    const py::object error = type("ConfigError", py::make_tuple(py::handle(PyExc_ValueError)), ns);
    g_config_error = vk::keep(error);
    m.attr("ConfigError") = error;
    vk::define_functions<kMain, kLoadConfig>(m);
}
