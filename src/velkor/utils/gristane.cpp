// Optimizer factory: builds SGD, Adam or AdamW for a model from an optimizer configuration.
// Learning rates are assigned per parameter, by named groups selected with name patterns
// (optionally decayed by name depth inside a group), by model-wide layer-wise decay, or as one
// group for the whole model; the decisions are printed as a tree report.
#include <vk/common.hpp>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kBlank;
using vk::kBranch;
using vk::kLast;
using vk::kPipe;
using vk::kw;

// One entry of model.named_parameters(), read once: every group scans the same list.
struct NamedParam {
    py::object name;
    std::string text;  // UTF-8: byte substring search is code-point substring search
    py::object param;
    bool trainable;
    long depth;  // number of '.' in the name
};

std::vector<NamedParam> named_parameters(py::handle model) {
    std::vector<NamedParam> out;
    for (const py::handle pair : vk::call_method<"named_parameters">(model)) {
        const auto [name, param] = vk::unpack<2>(pair);
        // Names are compared as UTF-8 (lone surrogates kept), like the patterns they are matched with.
        if (!PyUnicode_Check(name.ptr())) throw py::type_error("named_parameters() must yield str names, got " + vk::type_name(name));
        std::string text = vk::utf8(name, "surrogatepass");
        const long depth = static_cast<long>(std::count(text.begin(), text.end(), '.'));
        const bool trainable = vk::truthy(vk::attr<"requires_grad">(param));
        out.push_back({name, std::move(text), param, trainable, depth});
    }
    return out;
}

// lr * decay_rate ** depth with Python's own arithmetic, so ints, floats (and anything else a
// user puts in the configuration) combine exactly as they would in Python. Powers are cached per
// depth because a model has only a handful of distinct depths.
class DecayedLr {
public:
    DecayedLr(py::object lr, py::object decay_rate) : lr_(std::move(lr)), decay_rate_(std::move(decay_rate)) {}

    py::object at(long depth) {
        auto it = cache_.find(depth);
        if (it == cache_.end()) {
            const py::object power = steal(PyNumber_Power(decay_rate_.ptr(), py::int_(depth).ptr(), Py_None));
            it = cache_.emplace(depth, steal(PyNumber_Multiply(lr_.ptr(), power.ptr()))).first;
        }
        return it->second;
    }

private:
    static py::object steal(PyObject* r) {
        if (r == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }

    py::object lr_;
    py::object decay_rate_;
    std::unordered_map<long, py::object> cache_;
};

// The parameter-group record {"params": ..., "lr": ..., "name": ...}, keys in this order.
py::dict group_record(py::handle params, py::handle lr, py::handle name) {
    py::dict record;
    PyDict_SetItem(record.ptr(), vk::name<"params">().ptr(), params.ptr());
    PyDict_SetItem(record.ptr(), vk::name<"lr">().ptr(), lr.ptr());
    PyDict_SetItem(record.ptr(), vk::name<"name">().ptr(), name.ptr());
    return record;
}

std::vector<std::string> pattern_list(py::handle patterns) {
    // A bare string would iterate as single characters and match nearly every name.
    if (PyUnicode_Check(patterns.ptr())) throw py::type_error("Argument 'patterns' must be of type list, got str");
    std::vector<std::string> out;
    for (const py::handle p : patterns) {
        if (!PyUnicode_Check(p.ptr())) throw py::type_error("Each pattern must be of type str, got " + vk::type_name(p));
        out.push_back(vk::utf8(p, "surrogatepass"));
    }
    return out;
}

bool matches(const std::string& name, const std::vector<std::string>& patterns) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return name.find(p) != std::string::npos; });
}

// Named groups: each trainable parameter goes to the first group whose patterns match it, or to
// the default group; frozen parameters stay out of the optimizer.
void assign_named_groups(py::handle model, py::handle groups_config, py::handle base_lr, py::list& parameter_groups) {
    vk::println(kBranch, "Parameter Groups:");
    const std::vector<NamedParam> params = named_parameters(model);
    std::vector<bool> assigned(params.size(), false);
    const py::dict empty;

    for (const py::handle group_cfg : groups_config) {
        const py::object group_lr = vk::get<"lr">(group_cfg, base_lr);
        const py::object patterns = vk::item<"patterns">(group_cfg);
        vk::println(kPipe, kBranch, "Group: ", vk::item<"name">(group_cfg));
        vk::println(kPipe, kPipe, kBranch, "LR: ", group_lr);
        vk::println(kPipe, kPipe, kLast, "Patterns: ", patterns);

        const py::object layer_decay = vk::get<"layer_decay">(group_cfg, empty);
        const bool use_layer_decay = vk::truthy(vk::get<"enabled">(layer_decay, py::bool_(false)));
        DecayedLr decayed(group_lr, vk::get<"decay_rate">(layer_decay, py::float_(1.0)));
        const std::vector<std::string> wanted = pattern_list(patterns);

        for (std::size_t i = 0; i < params.size(); ++i) {
            const NamedParam& p = params[i];
            if (!p.trainable || assigned[i] || !matches(p.text, wanted)) continue;
            assigned[i] = true;
            parameter_groups.append(group_record(p.param, use_layer_decay ? decayed.at(p.depth) : group_lr, p.name));
        }
    }

    bool any_default = false;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!params[i].trainable || assigned[i]) continue;
        if (!any_default) vk::println(kPipe, kLast, "Default Group (unmatched parameters)");
        any_default = true;
        parameter_groups.append(group_record(params[i].param, base_lr, params[i].name));
    }
}

// Model-wide decay by name depth: one group per trainable parameter, named "model.<name>".
void assign_layer_decay(py::handle model, py::handle config, py::handle base_lr, py::list& parameter_groups) {
    const py::object decay_rate = vk::item<"decay_rate">(vk::item<"layer_decay">(config));
    vk::println(kBranch, "Layer-wise Decay: Enabled");
    vk::println(kPipe, kLast, "Decay Rate: ", decay_rate);

    DecayedLr decayed(py::reinterpret_borrow<py::object>(base_lr), decay_rate);
    std::vector<std::pair<py::object, py::object>> layer_lrs;
    for (const NamedParam& p : named_parameters(model)) {
        if (!p.trainable) continue;
        const py::object lr = decayed.at(p.depth);
        layer_lrs.emplace_back(p.name, lr);
        parameter_groups.append(group_record(p.param, lr, py::str("model." + p.text)));
    }

    vk::println(kBranch, "Layer Learning Rates (sample):");
    for (std::size_t i = 0; i < layer_lrs.size() && i < 3; ++i)
        vk::println(kPipe, kBranch, layer_lrs[i].first, ": ", vk::format_text(layer_lrs[i].second, ".6f"));
    if (layer_lrs.size() > 3) vk::println(kPipe, kLast, "... (", layer_lrs.size() - 3, " more layers)");
}

py::object build_optimizer(const std::string& opt_name, py::handle config, const py::list& parameter_groups) {
    if (opt_name == "sgd") {
        const py::object sgd = vk::item<"sgd">(config);
        const py::object momentum = vk::item<"momentum">(sgd);
        const py::object nesterov = vk::item<"nesterov">(sgd);
        const py::object dampening = vk::item<"dampening">(sgd);
        vk::println(kLast, "SGD Specific:");
        vk::println(kBlank, kBranch, "Momentum: ", momentum);
        vk::println(kBlank, kBranch, "Nesterov: ", nesterov);
        vk::println(kBlank, kLast, "Dampening: ", dampening);
        return vk::call(vk::imported<"torch.optim", "SGD">(), parameter_groups, kw<"momentum">(momentum),
                        kw<"weight_decay">(vk::item<"weight_decay">(config)), kw<"nesterov">(nesterov), kw<"dampening">(dampening));
    }
    const bool adam = opt_name == "adam";
    if (!adam && opt_name != "adamw") throw py::value_error("Unsupported optimizer: " + opt_name);
    const py::object section = adam ? vk::item<"adam">(config) : vk::item<"adamw">(config);
    const py::object betas = vk::item<"betas">(section);
    const py::object eps = vk::item<"eps">(section);
    const py::object amsgrad = vk::item<"amsgrad">(section);
    vk::println(kLast, adam ? "Adam Specific:" : "AdamW Specific:");
    vk::println(kBlank, kBranch, "Betas: ", betas);
    vk::println(kBlank, kBranch, "Epsilon: ", eps);
    vk::println(kBlank, kLast, "AMSGrad: ", amsgrad);
    const py::handle cls = adam ? vk::imported<"torch.optim", "Adam">() : vk::imported<"torch.optim", "AdamW">();
    return vk::call(cls, parameter_groups, kw<"betas">(betas), kw<"eps">(eps), kw<"weight_decay">(vk::item<"weight_decay">(config)),
                    kw<"amsgrad">(amsgrad));
}

py::object gristane(py::handle, const vk::Args<"model, opt_config">& a) {
    const py::handle model = a.get<"model">();
    const py::dict config = a.dict<"opt_config">();

    const py::object opt_name = vk::call_method<"lower">(vk::item<"name">(config));
    const py::object base_lr = vk::item<"lr">(config);
    vk::println("\n🔧 Configuring Optimizer:");
    vk::println(kBranch, "Type: ", vk::call_method<"upper">(opt_name));
    vk::println(kBranch, "Base LR: ", base_lr);
    vk::println(kBranch, "Weight Decay: ", vk::item<"weight_decay">(config));

    py::list parameter_groups;
    const py::object groups_config = vk::get<"param_groups">(config, py::list());
    if (vk::truthy(groups_config)) {
        assign_named_groups(model, groups_config, base_lr, parameter_groups);
    } else if (vk::truthy(vk::get<"enabled">(vk::get<"layer_decay">(config, py::dict()), py::bool_(false)))) {
        assign_layer_decay(model, config, base_lr, parameter_groups);
    } else {
        vk::println(kBranch, "Layer-wise Decay: Disabled");
        parameter_groups.append(group_record(vk::call_method<"parameters">(model), base_lr, py::str("model")));
    }
    return build_optimizer(vk::utf8(opt_name), config, parameter_groups);
}

constexpr vk::Def kGristane{"gristane", gristane,
                            "Builds torch.optim.SGD, Adam or AdamW for `model` from `opt_config`, with per-parameter learning\n"
                            "rates from named pattern groups, model-wide layer-wise decay by name depth, or one group,\n"
                            "and prints a report of the decisions."};

}  // namespace

PYBIND11_MODULE(gristane, m) {
    m.doc() = "Optimizer factory: SGD, Adam or AdamW with parameter groups and layer-wise learning-rate decay.";
    vk::define_functions<kGristane>(m);
}
