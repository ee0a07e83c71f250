// The base of every trainer: device choice, the model on that device, the gradient scaler, the
// experiment directory (configuration copy, architecture summary, checkpoints, attention maps,
// generated text), optional wandb tracking, the per-epoch metric report and history, and
// checkpoints written atomically and restored component by component.
//
// BaseTrainer is an abc.ABC subclass; concrete trainers (in C++ or in Python) implement
// _train_epoch, _validate_epoch, train and evaluate.
//
// Under a torch.distributed process group (data-parallel training) every process keeps the same
// state, but rank 0 alone writes: the experiment directory, checkpoints, plots, generated text,
// tracking and the printed reports. The others wait for a checkpoint to be on disk before going on.
#include <vk/common.hpp>
#include <vkdomain/distributed.hpp>

#include <cerrno>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

namespace py = pybind11;
using vk::is_instance;
using vk::kBlank;
using vk::kBranch;
using vk::kLast;
using vk::kPipe;
using vk::kw;

// Path / part, as pathlib joins.
py::object join(py::handle base, py::handle part) {
    PyObject* r = PyNumber_TrueDivide(base.ptr(), part.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
py::object join(py::handle base, const std::string& part) { return join(base, py::str(part)); }

// The tracking client, imported only when tracking is on (and looked up in sys.modules on every
// use, so that a stand-in installed by a test is the one called).
py::object wandb() { return py::module_::import("wandb"); }

bool tracking(py::handle self) { return vk::truthy(vk::attr<"use_wandb">(self)); }

py::object learning_rate(py::handle self) {
    const py::object groups = vk::attr<"param_groups">(vk::attr<"optimizer">(self));
    return vk::item<"lr">(py::object(groups[py::int_(0)]));
}

// ---------------------------------------------------------------------------------------------
// Construction

// The autocast precision: float16 on CUDA, bfloat16 on the CPU (whose autocast has no float16
// LSTM kernel and runs float16 convolutions slowly), or the "amp_dtype" training key; float32
// turns autocast off.
py::object amp_dtype(py::handle training, const std::string& device) {
    const py::object chosen = vk::get<"amp_dtype">(training, py::none());
    if (chosen.is_none())
        return py::reinterpret_borrow<py::object>(device == "cpu" ? vk::imported<"torch", "bfloat16">()
                                                                  : vk::imported<"torch", "float16">());
    if (PyUnicode_CheckExact(chosen.ptr())) {
        const std::string name = py::str(chosen);
        if (name == "float16") return py::reinterpret_borrow<py::object>(vk::imported<"torch", "float16">());
        if (name == "bfloat16") return py::reinterpret_borrow<py::object>(vk::imported<"torch", "bfloat16">());
        if (name == "float32") return py::reinterpret_borrow<py::object>(vk::imported<"torch", "float32">());
    }
    throw py::value_error("Invalid \"amp_dtype\" in the \"training\" section: " + py::repr(chosen).cast<std::string>() +
                          " (allowed: \"float16\", \"bfloat16\", \"float32\")");
}

using InitArgs = vk::Args<"model, tokenizer, config, run_name, config_file, device=None">;
py::object init(py::handle self, const InitArgs& a) {
    const py::dict config = a.dict<"config">();
    const py::handle run_name = a.get<"run_name">(), config_file = a.get<"config_file">();
    a.text<"run_name">();
    a.text<"config_file">();
    if (!a.is_none<"device">() && !PyUnicode_CheckExact(a.get<"device">().ptr()))
        vk::raise_arg_type("device", "str or None", a.get<"device">());

    py::object device = py::reinterpret_borrow<py::object>(a.get<"device">());
    if (device.is_none()) device = py::str(vk::truthy(vk::call(vk::imported<"torch.cuda", "is_available">())) ? "cuda" : "cpu");
    const bool writes = vkdomain::world().writes();
    if (writes) vk::println("Using device: ", device);

    vk::set_attr<"device">(self, device);
    vk::set_attr<"model">(self, vk::call_method<"to">(a.get<"model">(), device));
    vk::set_attr<"tokenizer">(self, a.get<"tokenizer">());
    vk::set_attr<"config">(self, config);
    vk::set_attr<"optimizer">(self, py::none());
    vk::set_attr<"scheduler">(self, py::none());
    vk::set_attr<"scaler">(self, vk::call(vk::attr<"GradScaler">(vk::imported<"torch.amp">()), device));

    const py::object training = vk::item<"training">(config);
    vk::set_attr<"use_wandb">(self, writes ? vk::get<"use_wandb">(training, py::bool_(false)) : py::bool_(false));
    // Checked before anything is written, stored after the documented attributes.
    const py::object precision = amp_dtype(training, py::str(device));

    const auto paths = vk::unpack<6>(vk::call_method<"_init_experiment">(self, run_name, config_file));
    vk::set_attr<"expt_root">(self, paths[0]);
    vk::set_attr<"checkpoint_dir">(self, paths[1]);
    vk::set_attr<"attn_dir">(self, paths[2]);
    vk::set_attr<"text_dir">(self, paths[3]);
    vk::set_attr<"best_model_path">(self, paths[4]);
    vk::set_attr<"last_model_path">(self, paths[5]);

    vk::set_attr<"current_epoch">(self, py::int_(0));
    vk::set_attr<"best_metric">(self, py::float_(std::numeric_limits<double>::infinity()));
    vk::set_attr<"training_history">(self, py::list());
    vk::set_attr<"amp_dtype">(self, precision);
    return py::none();
}

// Frames fed to a speech model's summary: 1000, or the longest input the model takes when its
// positional table (max_len) is shorter than what 1000 frames, or their 100 target tokens, need.
long long summary_frames(py::handle model) {
    constexpr long long kFrames = 1000;
    if (!vk::has_attr<"source_embedding">(model)) return kFrames;
    const py::object embedding = vk::attr<"source_embedding">(model);
    if (!vk::has_attr<"calculate_downsampled_length">(embedding)) return kFrames;
    const long long max_len = py::cast<long long>(py::int_(vk::attr<"max_len">(model)));
    const py::object frames = vk::call(vk::imported<"torch", "arange">(), 1, kFrames + 1);
    const py::object reduced = vk::call_method<"calculate_downsampled_length">(embedding, frames);
    const py::list fits = vk::call_method<"tolist">(vk::call_method<"le">(reduced, max_len));
    if (fits.size() != static_cast<std::size_t>(kFrames)) return kFrames;  // not one length per input: no shortening
    for (long long t = kFrames; t >= 1; --t) {
        if (vk::truthy(fits[static_cast<std::size_t>(t - 1)]) && t / 10 <= max_len) return t;
    }
    return kFrames;
}

py::object random_ints(long long low, long long high, py::tuple shape) {
    return vk::call(vk::imported<"torch", "randint">(), low, std::max(high, low + 1), shape);
}

// torchinfo adds a layer's parameters again each time it meets the layer under another parent
// (shown as "(recursive)"), so its totals can be nearly twice the model's: the totals are set to
// the model's own count, each parameter once.
void count_each_parameter_once(py::handle summary, py::handle model) {
    long long total = 0, trainable = 0, bytes = 0;
    for (const py::handle p : vk::call_method<"parameters">(model)) {
        const long long n = py::cast<long long>(vk::call_method<"numel">(p));
        total += n;
        if (vk::truthy(vk::attr<"requires_grad">(p))) trainable += n;
        bytes += n * py::cast<long long>(vk::call_method<"element_size">(p));
    }
    vk::set_attr<"total_params">(summary, py::int_(total));
    vk::set_attr<"trainable_params">(summary, py::int_(trainable));
    vk::set_attr<"total_param_bytes">(summary, py::int_(bytes));
}

py::object architecture_summary(py::handle self, py::handle model) {
    const py::handle torch = vk::torch();
    const py::object config = vk::attr<"config">(self);
    const py::object summary = vk::attr<"summary">(py::module_::import("torchinfo"));
    const py::handle int64 = vk::imported<"torch", "int64">();
    if (is_instance(model, vk::imported<"velkor.model", "DecoderOnlyTransformer">())) {
        const py::object batch = vk::get<"batch_size">(vk::item<"data">(config), py::int_(8));
        const py::object max_len = vk::attr<"max_len">(model);
        py::list sizes, dtypes;
        sizes.append(py::make_tuple(batch, max_len));
        sizes.append(py::make_tuple(batch));
        dtypes.append(int64);
        dtypes.append(int64);
        return vk::call(summary, model, kw<"input_size">(sizes), kw<"dtypes">(dtypes), kw<"verbose">(0));
    }
    if (is_instance(model, vk::imported<"velkor.model", "EncoderDecoderTransformer">())) {
        const py::object batch_obj = vk::get<"batch_size">(vk::item<"data">(config), py::int_(8));
        const py::object num_feats = vk::item<"num_feats">(vk::item<"data">(config));
        const long long batch = py::cast<long long>(py::int_(batch_obj));
        const long long frames = summary_frames(model);
        const long long tokens = std::max(frames / 10, 1LL);
        const long long num_classes = py::cast<long long>(py::int_(vk::attr<"num_classes">(model)));
        const py::object device = vk::attr<"device">(self);
        py::list inputs;
        inputs.append(vk::call(vk::attr<"randn">(torch), batch, frames, num_feats));
        inputs.append(random_ints(0, num_classes, py::make_tuple(batch, tokens)));
        inputs.append(random_ints(frames / 2, frames, py::make_tuple(batch)));
        inputs.append(random_ints(std::min(frames / 20, tokens - 1), tokens, py::make_tuple(batch)));
        for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i] = vk::call_method<"to">(inputs[i], device);
        py::list dtypes;
        dtypes.append(vk::imported<"torch", "float32">());
        for (int i = 0; i < 3; ++i) dtypes.append(int64);
        return vk::call(summary, model, kw<"input_data">(inputs), kw<"dtypes">(dtypes), kw<"verbose">(0));
    }
    PyErr_SetString(PyExc_NotImplementedError, "Model architecture summary not implemented");
    throw py::error_already_set();
}

using InitExperimentArgs = vk::Args<"run_name, config_file">;
py::object init_experiment(py::handle self, const InitExperimentArgs& a) {
    a.text<"run_name">();
    a.text<"config_file">();
    const py::object cwd = vk::call(vk::attr<"cwd">(vk::imported<"pathlib", "Path">()));
    const py::object expt_root = join(join(cwd, "expts"), a.get<"run_name">());
    if (!vkdomain::world().writes()) {
        const py::object checkpoints = join(expt_root, "checkpoints");
        return py::make_tuple(expt_root, checkpoints, join(expt_root, "attn"), join(expt_root, "text"),
                              join(checkpoints, "checkpoint-best-metric-model.pth"), join(checkpoints, "checkpoint-last-epoch-model.pth"));
    }
    vk::call_method<"mkdir">(expt_root, kw<"parents">(true), kw<"exist_ok">(true));
    vk::call(vk::imported<"shutil", "copy2">(), a.get<"config_file">(), join(expt_root, "config.yaml"));

    {
        const py::object file = vk::call(vk::imported<"builtins", "open">(), join(expt_root, "model_arch.txt"), "w");
        vk::with_block(file, [&] {
            const py::object model = vk::attr<"model">(self);
            const py::object summary = architecture_summary(self, model);
            count_each_parameter_once(summary, model);
            vk::call_method<"write">(file, py::str(summary));
        });
    }

    py::object dirs[3];
    const char* names[3] = {"checkpoints", "attn", "text"};
    for (int i = 0; i < 3; ++i) {
        dirs[i] = join(expt_root, names[i]);
        vk::call_method<"mkdir">(dirs[i], kw<"exist_ok">(true));
    }
    const py::object best = join(dirs[0], "checkpoint-best-metric-model.pth");
    const py::object last = join(dirs[0], "checkpoint-last-epoch-model.pth");

    if (tracking(self)) {
        const py::object config = vk::attr<"config">(self);
        const py::object training = vk::item<"training">(config);
        const py::object run_id = vk::get<"wandb_run_id">(training, py::none());
        const py::object project = vk::get<"wandb_project">(training, py::str("default-project"));
        const py::object client = wandb();
        py::object run;
        if (vk::truthy(run_id) && py::str(vk::call_method<"lower">(py::str(run_id))).cast<std::string>() != "none") {
            run = vk::call_method<"init">(client, kw<"project">(project), kw<"id">(run_id), kw<"resume">("must"), kw<"config">(config));
        } else {
            run = vk::call_method<"init">(client, kw<"project">(project), kw<"config">(config), kw<"name">(a.get<"run_name">()));
        }
        vk::set_attr<"wandb_run">(self, run);
    }
    return py::make_tuple(expt_root, dirs[0], dirs[1], dirs[2], best, last);
}

// ---------------------------------------------------------------------------------------------
// Metrics, images and text

py::list sorted_keys(py::handle mapping) { return vk::call(vk::imported<"builtins", "sorted">(), mapping); }

using LogMetricsArgs = vk::Args<"metrics, step">;
py::object log_metrics(py::handle self, const LogMetricsArgs& a) {
    const py::dict metrics = a.dict<"metrics">();
    for (const auto& [split, values] : metrics)
        if (!PyDict_Check(values.ptr()))
            throw py::type_error("Argument 'metrics' must map each split to a dict of metrics, got " + vk::type_name(values) + " for " +
                                 py::repr(split).cast<std::string>());
    const py::object step = vk::integer_like(a.get<"step">(), "step");
    const py::object lr = learning_rate(self);  // no optimizer yet: AttributeError, nothing recorded

    py::dict record;
    record["epoch"] = step;
    for (const auto& [split, values] : metrics) record[split] = values;
    record["lr"] = lr;
    vk::call_method<"append">(vk::attr<"training_history">(self), record);

    if (tracking(self)) {
        py::dict flat;
        for (const auto& [split, values] : metrics) {
            const std::string prefix = py::str(split).cast<std::string>() + "/";
            for (const auto& [metric, value] : py::reinterpret_borrow<py::dict>(values))
                flat[py::str(prefix + py::str(metric).cast<std::string>())] = value;
        }
        flat["learning_rate"] = lr;
        vk::call_method<"log">(wandb(), flat, kw<"step">(step));
    }

    if (!vkdomain::world().writes()) return py::none();
    vk::println("\n📊 Metrics (Epoch ", step, "):");
    const py::list splits = sorted_keys(metrics);
    for (std::size_t s = 0; s < splits.size(); ++s) {
        const bool last_split = s + 1 == splits.size();
        const py::object split = splits[s];
        vk::println(last_split ? kLast : kBranch, py::str(vk::call_method<"upper">(py::str(split))), ":");
        const py::object values = metrics[split];
        const py::list names = sorted_keys(values);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const py::object metric = names[i];
            vk::println(last_split ? kBlank : kPipe, i + 1 == names.size() ? kLast : kBranch, metric, ": ",
                        vk::format_text(py::object(values[metric]), ".4f"));
        }
    }
    vk::println(kLast, "TRAINING:");
    vk::println(kBlank, kLast, "learning_rate: ", vk::format_text(lr, ".6f"));
    return py::none();
}

// A 2-D map as an array: tensors come to the host as float32 (numpy has no bfloat16).
py::object host_map(py::handle weights) {
    if (!is_instance(weights, vk::imported<"torch", "Tensor">())) return py::reinterpret_borrow<py::object>(weights);
    py::object t = vk::call_method<"cpu">(vk::call_method<"detach">(weights));
    if (vk::truthy(vk::call_method<"is_floating_point">(t))) t = vk::call_method<"float">(t);
    return vk::call_method<"numpy">(t);
}

using AttentionPlotArgs = vk::Args<"attn_weights, epoch, attn_type='self'">;
py::object save_attention_plot(py::handle self, const AttentionPlotArgs& a) {
    const py::object epoch = vk::integer_like(a.get<"epoch">(), "epoch");
    const std::string attn_type = a.text<"attn_type">();
    if (!vkdomain::world().writes()) return py::none();
    const py::object map = host_map(a.get<"attn_weights">());

    const py::object plt = py::module_::import("matplotlib.pyplot");
    const py::object figure = vk::call_method<"figure">(plt, kw<"figsize">(py::make_tuple(10, 8)));
    const py::object plot_path = join(vk::attr<"attn_dir">(self), vk::text(attn_type, "_attention_epoch", epoch, ".png"));
    try {
        const py::object ax = vk::call_method<"heatmap">(py::module_::import("seaborn"), map, kw<"cmap">("viridis"), kw<"cbar">(true),
                                                         kw<"ax">(vk::call_method<"gca">(figure)));
        vk::call_method<"set_title">(ax, vk::text("Attention Weights - Epoch ", epoch));
        vk::call_method<"set_xlabel">(ax, "Source Sequence");
        vk::call_method<"set_ylabel">(ax, "Target Sequence");
        vk::call_method<"savefig">(figure, plot_path);
    } catch (...) {
        vk::call_method<"close">(plt, figure);
        throw;
    }
    vk::call_method<"close">(plt, figure);

    if (tracking(self)) {
        const py::object client = wandb();
        py::dict image;
        image[py::str(attn_type + "_attention")] = vk::call_method<"Image">(client, py::str(plot_path));
        vk::call_method<"log">(client, image, kw<"step">(epoch));
    }
    return py::none();
}

using GeneratedTextArgs = vk::Args<"text, suffix">;
py::object save_generated_text(py::handle self, const GeneratedTextArgs& a) {
    const std::string suffix = a.text<"suffix">();
    if (!vkdomain::world().writes()) return py::none();
    const py::object text_path = join(vk::attr<"text_dir">(self), "text_" + suffix + ".json");
    // Serialized first, so that text JSON cannot hold leaves the previous file whole.
    const py::object json = vk::call(vk::imported<"json", "dumps">(), a.get<"text">(), kw<"indent">(4), kw<"ensure_ascii">(true));
    const py::object file = vk::call(vk::imported<"builtins", "open">(), text_path, "w");
    vk::with_block(file, [&] { vk::call_method<"write">(file, json); });
    if (tracking(self)) vk::call_method<"save">(wandb(), py::str(text_path));
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Checkpoints

constexpr int kMaxNesting = 64;

std::string entry_path(const std::string& where, py::handle key) { return where + "[" + py::repr(key).cast<std::string>() + "]"; }

[[noreturn]] void refuse_entry(const std::string& where, py::handle value, const std::string& why) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()));
    const std::string type_name =
        py::str(vk::attr<"__module__">(type)).cast<std::string>() + "." + py::str(vk::attr<"__qualname__">(type)).cast<std::string>();
    throw py::type_error("Cannot save checkpoint: entry " + where + " holds a " + type_name + ", which the checkpoint loader refuses" +
                         (why.empty() ? "" : " (" + why + ")") + "; store numbers, text, None, tensors, lists and dictionaries");
}

// Whether the restricted loader reads `value` back: a round trip through memory.
void check_by_round_trip(py::handle value, const std::string& where) {
    const py::object buffer = vk::call(vk::imported<"io", "BytesIO">());
    try {
        vk::call(vk::attr<"save">(vk::torch()), value, buffer);
        vk::call_method<"seek">(buffer, 0);
        vk::call(vk::attr<"load">(vk::torch()), buffer, kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!vk::ordinary_error(e)) throw;
        // The loader's explanation is long; its one line naming what it refused is enough.
        const std::string message = vk::error_text(e);
        constexpr std::string_view kMarker = "WeightsUnpickler error: ";
        std::string why;
        if (const std::size_t at = message.find(kMarker); at != std::string::npos) {
            why = message.substr(at + kMarker.size());
            if (const std::size_t eol = why.find('\n'); eol != std::string::npos) why.resize(eol);
        }
        refuse_entry(where, value, why);
    }
}

// Every entry of a checkpoint must be something the restricted (weights-only) loader accepts,
// or the file saves and can never be loaded. Containers are walked; plain leaves pass; anything
// else is tried on its own through the loader.
void check_loadable(py::handle value, const std::string& where, int depth) {
    PyObject* o = value.ptr();
    if (o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyUnicode_CheckExact(o) ||
        PyBytes_CheckExact(o))
        return;
    if (depth > kMaxNesting) refuse_entry(where, value, "nested too deeply");
    const PyTypeObject* type = Py_TYPE(o);
    if (type == reinterpret_cast<PyTypeObject*>(vk::imported<"torch", "Tensor">().ptr()) ||
        type == reinterpret_cast<PyTypeObject*>(vk::imported<"torch.nn", "Parameter">().ptr()))
        return;
    if (PyDict_CheckExact(o) || type == reinterpret_cast<PyTypeObject*>(vk::imported<"collections", "OrderedDict">().ptr())) {
        for (const auto& [key, item] : py::reinterpret_borrow<py::dict>(value)) {
            const std::string inner = entry_path(where, key);
            check_loadable(key, inner + " (key)", depth + 1);
            check_loadable(item, inner, depth + 1);
        }
        return;
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
        for (std::size_t i = 0; i < items.size(); ++i) check_loadable(items[i], where + "[" + std::to_string(i) + "]", depth + 1);
        return;
    }
    check_by_round_trip(value, where);
}

void remove_quietly(py::handle path) {
    try {
        vk::call(vk::imported<"os", "unlink">(), path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// Makes the rename itself durable; a file system that cannot sync directories is left as it is.
void sync_directory(py::handle directory) {
    try {
        const py::object fd = vk::call(vk::imported<"os", "open">(), directory, vk::attr<"O_RDONLY">(vk::imported<"os">()));
        try {
            vk::call(vk::imported<"os", "fsync">(), fd);
        } catch (py::error_already_set& e) {
            vk::call(vk::imported<"os", "close">(), fd);
            if (!e.matches(PyExc_OSError)) throw;
            return;
        }
        vk::call(vk::imported<"os", "close">(), fd);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

std::string temporary_tag() {
    static std::mt19937_64 generator{std::random_device{}()};
    constexpr char kHex[] = "0123456789abcdef";
    std::string tag;
    std::uint64_t bits = generator();
    for (int i = 0; i < 12; ++i, bits >>= 4) tag += kHex[bits & 15];
    return tag;
}

// The host's name as it may appear inside a file name.
std::string host_name() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return "host";
    std::string host(buffer);
    for (char& c : host)
        if (c == '/') c = '_';
    return host.empty() ? "host" : host;
}

bool process_gone(long long pid) { return pid > 0 && kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH; }

// A save killed outright (SIGKILL, out of memory) leaves its temporary file behind: the next save
// of the same file on this host removes those whose writing process no longer exists.
void remove_abandoned(py::handle directory, const std::string& prefix) {
    const long long own = static_cast<long long>(getpid());
    for (const py::handle entry : vk::call(vk::imported<"os", "listdir">(), directory)) {
        const std::string name = py::str(entry);
        constexpr std::string_view kSuffix = ".tmp";
        if (name.size() <= prefix.size() + kSuffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
            continue;
        long long pid = 0;
        std::size_t i = prefix.size();
        for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < (1LL << 40); ++i) pid = pid * 10 + (name[i] - '0');
        if (i == prefix.size() || name[i] != '.' || pid == own || !process_gone(pid)) continue;
        remove_quietly(join(directory, name));
    }
}

// Writes `checkpoint` next to `target` and renames it over the target once it is on disk: a
// crash, a full disk or an error at any point leaves the previous file as it was.
void write_atomically(py::handle checkpoint, py::handle target) {
    const py::object directory = vk::attr<"parent">(target);
    const std::string prefix = "." + py::str(vk::attr<"name">(target)).cast<std::string>() + "." + host_name() + ".";
    remove_abandoned(directory, prefix);
    const py::object temporary = join(directory, vk::text(prefix, static_cast<long long>(getpid()), ".", temporary_tag(), ".tmp"));
    const py::object file = vk::call(vk::imported<"builtins", "open">(), temporary, "xb");
    try {
        vk::call(vk::attr<"save">(vk::torch()), checkpoint, file);
        vk::call_method<"flush">(file);
        vk::call(vk::imported<"os", "fsync">(), vk::call_method<"fileno">(file));
        vk::call_method<"close">(file);
        vk::call(vk::imported<"os", "replace">(), temporary, target);
    } catch (...) {
        try {
            vk::call_method<"close">(file);
        } catch (py::error_already_set&) {
        }
        remove_quietly(temporary);
        throw;
    }
    sync_directory(directory);
}

using FilenameArgs = vk::Args<"filename">;
py::object save_checkpoint(py::handle self, const FilenameArgs& a) {
    a.text<"filename">();
    const py::object checkpoint_path = join(vk::attr<"checkpoint_dir">(self), a.get<"filename">());
    py::dict checkpoint;
    checkpoint["epoch"] = vk::attr<"current_epoch">(self);
    checkpoint["model_state_dict"] = vk::call_method<"state_dict">(vk::attr<"model">(self));
    checkpoint["optimizer_state_dict"] = vk::call_method<"state_dict">(vk::attr<"optimizer">(self));
    const py::object scheduler = vk::attr<"scheduler">(self);
    checkpoint["scheduler_state_dict"] = vk::truthy(scheduler) ? vk::call_method<"state_dict">(scheduler) : py::none();
    checkpoint["scaler_state_dict"] = vk::call_method<"state_dict">(vk::attr<"scaler">(self));
    checkpoint["best_metric"] = vk::attr<"best_metric">(self);
    checkpoint["training_history"] = vk::attr<"training_history">(self);
    checkpoint["config"] = vk::attr<"config">(self);
    // A run held to a time budget continues its plan: what was spent, the updates planned and done.
    if (vk::has_attr<"time_budget">(self) && !vk::attr<"time_budget">(self).is_none())
        checkpoint["time_budget"] = vk::call_method<"state_dict">(vk::attr<"time_budget">(self));
    for (const auto& [key, value] : checkpoint) check_loadable(value, py::str(key), 0);

    if (vkdomain::world().writes()) {
        write_atomically(checkpoint, checkpoint_path);
        if (tracking(self)) vk::call_method<"save">(wandb(), py::str(checkpoint_path));
    }
    vkdomain::barrier();
    return py::none();
}

// Runs one component's restoration: true when it worked; an ordinary error is printed as the
// component's warning and gives false.
template <class F>
bool restore(const char* what, F&& load) {
    try {
        load();
        return true;
    } catch (py::error_already_set& e) {
        if (!vk::ordinary_error(e)) throw;
        if (vkdomain::world().writes()) vk::println("Warning: Failed to load ", what, " state: ", vk::error_text(e));
        return false;
    }
}

py::object load_checkpoint(py::handle self, const FilenameArgs& a) {
    a.text<"filename">();
    const py::object checkpoint_path = join(vk::attr<"checkpoint_dir">(self), a.get<"filename">());
    if (!vk::truthy(vk::call_method<"exists">(checkpoint_path))) {
        PyErr_SetString(PyExc_FileNotFoundError, vk::text("No checkpoint found at ", checkpoint_path).c_str());
        throw py::error_already_set();
    }
    py::object checkpoint;
    try {
        checkpoint = vk::call(vk::attr<"load">(vk::torch()), checkpoint_path, kw<"map_location">(vk::attr<"device">(self)),
                              kw<"weights_only">(true));
    } catch (py::error_already_set& e) {
        if (!vk::ordinary_error(e)) throw;
        vk::raise_in_context(PyExc_RuntimeError, "Failed to load checkpoint file: " + vk::error_text(e), e);
    }
    if (!PyDict_Check(checkpoint.ptr()))
        throw std::runtime_error("Failed to load checkpoint file: it holds a " + vk::type_name(checkpoint) +
                                 ", not a checkpoint dictionary");
    const py::dict ckpt = py::reinterpret_borrow<py::dict>(checkpoint);

    std::vector<std::pair<const char*, bool>> status;
    status.emplace_back("model", restore("model", [&] {
                            vk::call_method<"load_state_dict">(vk::attr<"model">(self), vk::item<"model_state_dict">(ckpt));
                        }));
    status.emplace_back("optimizer", restore("optimizer", [&] {
                            vk::call_method<"load_state_dict">(vk::attr<"optimizer">(self), vk::item<"optimizer_state_dict">(ckpt));
                        }));
    const py::object scheduler_state = vk::get<"scheduler_state_dict">(ckpt, py::none());
    if (vk::truthy(scheduler_state) && vk::truthy(vk::attr<"scheduler">(self)))
        status.emplace_back(
            "scheduler", restore("scheduler", [&] { vk::call_method<"load_state_dict">(vk::attr<"scheduler">(self), scheduler_state); }));
    status.emplace_back("scaler", restore("scaler", [&] {
                            vk::call_method<"load_state_dict">(vk::attr<"scaler">(self), vk::item<"scaler_state_dict">(ckpt));
                        }));
    status.emplace_back("training_state", restore("training", [&] {
                            vk::set_attr<"current_epoch">(self, vk::item<"epoch">(ckpt));
                            vk::set_attr<"best_metric">(self, vk::item<"best_metric">(ckpt));
                            vk::set_attr<"training_history">(self, vk::item<"training_history">(ckpt));
                        }));

    const py::object budget_state = vk::get<"time_budget">(ckpt, py::none());
    if (!budget_state.is_none() && vk::has_attr<"time_budget">(self) && !vk::attr<"time_budget">(self).is_none())
        status.emplace_back("time_budget", restore("time budget", [&] {
                                vk::call_method<"load_state_dict">(vk::attr<"time_budget">(self), budget_state);
                            }));

    std::string loaded, failed;
    for (const auto& [name, ok] : status) {
        std::string& list = ok ? loaded : failed;
        if (!list.empty()) list += ", ";
        list += name;
    }
    if (loaded.empty()) throw std::runtime_error("Failed to load any checkpoint components");
    if (!vkdomain::world().writes()) return py::none();
    vk::println("Checkpoint loaded from epoch ", vk::get<"epoch">(ckpt, py::str("unknown")));
    vk::println("Successfully loaded: ", loaded);
    if (!failed.empty()) vk::println("Failed to load: ", failed);
    return py::none();
}

py::object cleanup(py::handle self, const vk::Args<"">&) {
    if (tracking(self) && vk::truthy(vk::attr<"wandb_run">(self))) vk::call_method<"finish">(wandb());
    return py::none();
}

// The abstract operations do nothing in the base class.
py::object abstract_pass(py::handle, const vk::Args<"dataloader">&) { return py::none(); }
py::object abstract_train(py::handle, const vk::Args<"train_dataloader, val_dataloader">&) { return py::none(); }

constexpr vk::Def kTrainEpoch{"_train_epoch", abstract_pass,
                              "One training pass over dataloader; returns (metrics name -> float, attention name -> tensor)."};
constexpr vk::Def kValidateEpoch{"_validate_epoch", abstract_pass,
                                 "One pass over dataloader without parameter updates; returns the same pair as _train_epoch."};
constexpr vk::Def kTrain{"train", abstract_train, "The epoch loop (concrete trainers add parameters)."};
constexpr vk::Def kEvaluate{"evaluate", abstract_pass, "Evaluation results for dataloader."};

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kInitExperiment{
    "_init_experiment", init_experiment,
    "Creates expts/run_name under the working directory (config.yaml, model_arch.txt, checkpoints/, attn/, text/), starts\n"
    "the tracking run when use_wandb is on, and returns (expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path,\n"
    "last_model_path)."};
constexpr vk::Def kLogMetrics{"_log_metrics", log_metrics,
                              "Appends {'epoch': step, **metrics, 'lr': lr} to training_history, logs to wandb when on, and prints\n"
                              "the metric tree."};
constexpr vk::Def kSaveAttentionPlot{"_save_attention_plot", save_attention_plot,
                                     "Saves a heat map of a 2-D tensor or array as attn_dir/'{attn_type}_attention_epoch{epoch}.png'."};
constexpr vk::Def kSaveGeneratedText{"_save_generated_text", save_generated_text,
                                     "Writes text (JSON-serialisable) to text_dir/'text_{suffix}.json' with an indent of 4."};
constexpr vk::Def kSaveCheckpoint{
    "save_checkpoint", save_checkpoint,
    "Writes the training state to checkpoint_dir/filename: epoch, model, optimizer, scheduler and scaler states,\n"
    "best_metric, training_history and config. The file is replaced atomically; entries the checkpoint loader would\n"
    "refuse are a TypeError before anything is written. Under a torch.distributed process group rank 0 writes and\n"
    "every process returns once the file is on disk. A trainer with a time_budget stores its state too."};
constexpr vk::Def kLoadCheckpoint{"load_checkpoint", load_checkpoint,
                                  "Restores checkpoint_dir/filename component by component, printing a warning for each one that\n"
                                  "fails; raises only when nothing could be restored."};
constexpr vk::Def kCleanup{"cleanup", cleanup, "Closes the tracking run."};

}  // namespace

PYBIND11_MODULE(fendral, m) {
    m.doc() = "The abstract base trainer: device, experiment directory, tracking, metric logging and checkpoints.";
    // What the trainers work with.
    m.attr("DecoderOnlyTransformer") = vk::imported<"velkor.model", "DecoderOnlyTransformer">();
    m.attr("EncoderDecoderTransformer") = vk::imported<"velkor.model", "EncoderDecoderTransformer">();
    m.attr("BrixTokenizer") = vk::imported<"velkor.data.tokenizer", "BrixTokenizer">();
    m.attr("gristane") = vk::imported<"velkor.utils", "gristane">();
    m.attr("create_scheduler") = vk::imported<"velkor.utils", "create_scheduler">();
    vk::define_abc_class<kTrainEpoch, kValidateEpoch, kTrain, kEvaluate, kInit, kInitExperiment, kLogMetrics, kSaveAttentionPlot,
                         kSaveGeneratedText, kSaveCheckpoint, kLoadCheckpoint, kCleanup>(
        m, "BaseTrainer", vk::abc_root(), "Abstract base class for all trainers.",
        {"_train_epoch", "_validate_epoch", "train", "evaluate"});
}
