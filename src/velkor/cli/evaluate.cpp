// velkor evaluate: the experiment's best checkpoint (or its averaged model) on the test partition. A speech model is
// decoded every way the configuration and the model offer, each its own row (attention greedy
// and beam, beam with LM fusion, joint CTC/attention greedy and beam, CTC); every hypothesis
// record carries the utterance id and its reference. An evaluation is written to a folder of its
// own that replaces the earlier one whole, and a decoding that did not run makes the exit
// status non-zero.
#include "cli.hpp"

#include <cmath>

namespace velkor_cli {
namespace {

// A scope with another working directory: the trainers make their experiment folder under it.
class WorkingDirectory {
public:
    explicit WorkingDirectory(py::handle dir) : previous_(vk::call(vk::imported<"os", "getcwd">())) {
        vk::call(vk::imported<"os", "chdir">(), dir);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    ~WorkingDirectory() {
        try {
            vk::call(vk::imported<"os", "chdir">(), previous_);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("velkor.cli: returning to the working directory");
        }
    }

private:
    py::object previous_;
};

py::object parent(py::handle path) { return vk::call(vk::imported<"os.path", "dirname">(), path); }

// The trainer of an experiment found at `root` (<base>/expts/<name>), built from <base>.
py::object evaluation_trainer(const Config& cfg, py::handle root, py::handle model, py::handle tokenizer, const py::dict& ckpt) {
    py::object trainer;
    {
        const WorkingDirectory in_base(parent(parent(root)));
        trainer = build_trainer(cfg, model, tokenizer);
    }
    vk::set_attr<"current_epoch">(trainer, vk::get<"epoch">(ckpt, py::int_(0)));
    // The trainers log a learning rate with every record: a stand-in optimizer that never steps,
    // at the rate the checkpoint was trained with last.
    py::object lr = section(cfg, "optimizer")["lr"];
    const py::object opt_state = vk::get<"optimizer_state_dict">(ckpt, py::none());
    if (PyDict_Check(opt_state.ptr())) {
        const py::object groups = vk::get<"param_groups">(opt_state, py::none());
        if (PyList_Check(groups.ptr()) && PyList_GET_SIZE(groups.ptr()) > 0 && PyDict_Check(PyList_GET_ITEM(groups.ptr(), 0))) {
            const py::object stored = vk::get<"lr">(py::handle(PyList_GET_ITEM(groups.ptr(), 0)), py::none());
            if (PyFloat_Check(stored.ptr())) lr = stored;
        }
    }
    const py::object params = vk::call_method<"parameters">(vk::attr<"model">(trainer));
    vk::set_attr<"optimizer">(trainer, vk::call(vk::imported<"torch.optim", "SGD">(), params, kw<"lr">(lr)));
    return trainer;
}

bool lowercases(py::handle tokenizer) { return vk::has_attr<"lowercase">(tokenizer) && vk::truthy(vk::attr<"lowercase">(tokenizer)); }

// Two tokenizers that map every id to the same token.
bool same_vocabulary(py::handle a, py::handle b) {
    const long long n = py::cast<long long>(vk::attr<"num_classes">(a));
    if (n != py::cast<long long>(vk::attr<"num_classes">(b)) || lowercases(a) != lowercases(b)) return false;
    for (long long i = 0; i < n; ++i) {
        py::list id;
        id.append(i);
        if (!vk::truthy(vk::call(vk::imported<"operator", "eq">(), vk::call_method<"decode">(a, id), vk::call_method<"decode">(b, id))))
            return false;
    }
    return true;
}

// The fusion language model: its configuration file, its experiment folder, or a model file.
py::object load_lm(const std::string& given, py::handle asr_tokenizer) {
    const py::object path = py::str(given);
    const bool folder = is_dir(path);
    const bool model_file = !folder && vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), path)) &&
                            !vk::truthy(vk::call_method<"endswith">(py::str(lowercase(given)), py::make_tuple(".yaml", ".yml")));
    if (model_file) {
        py::object lm;
        try {
            lm = vk::call(vk::attr<"from_file">(vk::imported<"velkor.recognizer", "LanguageModel">()), path);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
            fail(str(e.value()));
        }
        if (!same_vocabulary(vk::attr<"tokenizer">(lm), asr_tokenizer))
            fail(given + ": the language model's tokenizer differs from the speech model's: they must share one vocabulary", 2);
        return vk::attr<"model">(lm);
    }
    const std::string file = folder ? str(join(path, "config.yaml")) : given;
    if (folder && !exists(py::str(file))) fail(given + ": not an experiment folder (it has no config.yaml)", 2);
    const Config lm_cfg = load_config(file);
    if (lm_cfg.task != "lm") config_fail(file, "key \"task\" must be \"lm\" for a fusion language model, got \"" + lm_cfg.task + "\"");
    const py::object root = folder ? py::reinterpret_borrow<py::object>(path) : find_experiment(lm_cfg);
    const py::object tok = saved_tokenizer(lm_cfg, root);
    if (!same_vocabulary(tok, asr_tokenizer))
        config_fail(file, "the language model's tokenizer differs from the speech model's (" + str(vk::attr<"num_classes">(tok)) + " and " +
                              str(vk::attr<"num_classes">(asr_tokenizer)) + " classes): they must share one vocabulary");
    const py::object model = build_model(lm_cfg, tok);
    load_best(lm_cfg, root, model);
    return model;
}

long long beam_width(const Config& cfg) {
    const py::dict rec = section(cfg, "recognition");
    return rec.contains("beam_width") ? py::cast<long long>(rec["beam_width"]) : 10;
}

// The CTC weight of the joint rows: the configured one, else 0.3 for a model trained with a CTC
// loss; none (no joint rows) for a model whose CTC head was not trained.
double joint_ctc_weight(const Config& cfg) {
    const py::dict rec = section(cfg, "recognition");
    if (rec.contains("ctc_weight")) return py::cast<double>(rec["ctc_weight"]);
    return py::cast<double>(section(cfg, "loss")["ctc_weight"]) > 0.0 ? 0.3 : 0.0;
}

int evaluate_lm(const Config& cfg, py::handle trainer, py::handle tokenizer, py::handle root) {
    const py::object test_set = build_dataset(cfg, tokenizer, "test");
    if (py::len(test_set) == 0) fail(cfg.file + ": the test partition has no sentences: nothing to evaluate");
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
    const py::object fresh = new_evaluation_dir(root);
    vk::call_method<"to_csv">(frame, join(fresh, "results.csv"), kw<"index">(false));
    py::dict all;
    all["metrics"] = metrics;
    all["generation"] = result[1];
    write_json(join(fresh, "results.json"), all);
    const py::object out = publish_evaluation(root, fresh);
    vk::println("\nResults: ", join(out, "results.csv"), ", ", join(out, "results.json"));
    return 0;
}

// The last epoch trained, from the experiment's history; -1 when unknown.
long long last_trained_epoch(py::handle root) {
    const py::object path = join(root, "training_history.json");
    if (!exists(path)) return -1;
    try {
        const py::object text = vk::call_method<"read_text">(vk::call(vk::imported<"pathlib", "Path">(), path), kw<"encoding">("utf-8"));
        const py::object history = vk::call(vk::imported<"json", "loads">(), text);
        long long last = -1;
        if (PyList_Check(history.ptr()))
            for (const py::handle rec : history)
                if (PyDict_Check(rec.ptr()) && py::dict(py::reinterpret_borrow<py::dict>(rec)).contains("epoch")) {
                    const py::object e = py::reinterpret_borrow<py::dict>(rec)["epoch"];
                    if (PyLong_CheckExact(e.ptr())) last = std::max(last, py::cast<long long>(e));
                }
        return last;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return -1;
    }
}

// The model evaluated: --checkpoint, else checkpoints/averaged.pth when it is there and averages
// up to the last epoch trained (an average older than the training would be judged in its
// place), else the best checkpoint. The output says which.
py::dict load_chosen(const Config& cfg, py::handle root, py::handle model, py::handle option) {
    const py::object averaged = checkpoint_path(root, "averaged.pth");
    std::string which = option.is_none() ? "" : str(option);
    py::dict ckpt;
    std::string note;
    if (which.empty() && exists(averaged)) {
        ckpt = read_checkpoint(averaged, model);
        const long long upto = PyLong_Check(py::object(vk::get<"epoch">(ckpt, py::none())).ptr()) ? py::cast<long long>(ckpt["epoch"]) : -1;
        const long long trained = last_trained_epoch(root);
        which = trained > upto ? "best" : "averaged";
        if (which == "best")
            note = " (" + str(averaged) + " averages up to epoch " + std::to_string(upto) + ", before the last epoch trained, " +
                   std::to_string(trained) + ": --checkpoint averaged evaluates it anyway)";
    }
    if (which.empty()) which = "best";
    if (which == "best") {
        ckpt = load_best(cfg, root, model);
        vk::println("Model: ", checkpoint_path(root, "checkpoint-best-metric-model.pth"), ", epoch ", vk::get<"epoch">(ckpt, py::str("?")),
                    ", the best validation metric", note);
        return ckpt;
    }
    const py::object path = which == "last" ? checkpoint_path(root, "checkpoint-last-epoch-model.pth") : averaged;
    if (!exists(path))
        fail(str(path) + ": no such checkpoint" +
             (which == "averaged" ? ": `velkor average " + cfg.file + " --last N` writes it"
                                  : ": run `velkor train " + cfg.file + "` first"));
    if (which == "last" || ckpt.size() == 0) ckpt = read_checkpoint(path, model);
    vk::call_method<"load_state_dict">(model, py::object(ckpt["model_state_dict"]));
    vk::call_method<"eval">(model);
    if (which == "last") {
        vk::println("Model: ", path, ", epoch ", vk::get<"epoch">(ckpt, py::str("?")), ", the last");
    } else {
        const py::object epochs = vk::get<"averaged_epochs">(ckpt, py::none());
        std::string list;
        if (PyList_Check(epochs.ptr()))
            for (const py::handle e : epochs) {
                if (!list.empty()) list += ", ";
                list += str(e);
            }
        vk::println("Model: ", path, ", the mean of the model states of epochs ", list.empty() ? std::string("?") : list);
    }
    return ckpt;
}

}  // namespace

std::string fmt(double v, int decimals) { return std::isnan(v) ? "-" : vk::fixed_text(v, decimals); }

SpeechTest speech_test(const Config& cfg, py::handle test_set) {
    SpeechTest test;
    test.loader = loader(cfg, test_set, false);
    // References from each utterance's text/ file (the datasets leave "test-clean" unlabelled).
    bool labelled = true;
    for (const py::handle f : py::list(vk::attr<"fbank_files">(test_set))) {
        const py::object stem = vk::attr<"stem">(vk::call(vk::imported<"pathlib", "Path">(), f));
        test.ids.push_back(py::str(stem));
        const py::object text = join(join(parent(parent(f)), "text"), vk::call(vk::imported<"os.path", "basename">(), f));
        if (!labelled || !vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), text))) {
            labelled = false;
            continue;
        }
        const py::object arr = vk::call(vk::imported<"numpy", "load">(), text, kw<"allow_pickle">(false));
        test.refs.push_back(py::str(py::str("").attr("join")(vk::call_method<"tolist">(arr))));
    }
    if (!labelled) test.refs.clear();
    return test;
}

py::dict recognition_config(py::handle base, long long beam, double ctc_weight, py::handle lm_model, double lm_weight) {
    py::dict r;
    r["num_batches"] = py::none();
    r["temperature"] = 1.0;
    r["repeat_penalty"] = 1.0;
    for (const auto& [k, v] : py::reinterpret_borrow<py::dict>(base)) r[k] = v;
    r["beam_width"] = beam;
    r["decoder"] = "attention";
    r["ctc_weight"] = ctc_weight;
    r["lm_weight"] = lm_weight;
    r["lm_model"] = lm_model;
    if (r.contains("max_length")) PyDict_DelItemString(r.ptr(), "max_length");
    return r;
}

Decoded decode(py::handle trainer, const SpeechTest& test, const std::string& name, py::dict rec_cfg, long long max_length,
               py::handle tokenizer) {
    Decoded d;
    d.name = name;
    vk::println("Decoding the test partition: ", name);
    const auto start = std::chrono::steady_clock::now();
    try {
        d.records = vk::call_method<"recognize">(trainer, test.loader, rec_cfg, py::str(name), py::int_(max_length));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        d.error = str(e.value());
        return d;
    }
    d.seconds = seconds_since(start);
    if (!test.refs.empty() && test.refs.size() == d.records.size()) {
        std::vector<std::string> hyps, cleaned;
        for (std::size_t i = 0; i < test.refs.size(); ++i) {
            hyps.push_back(py::str(py::dict(d.records[i])["generated"]));
            cleaned.push_back(lowercases(tokenizer) ? lowercase(test.refs[i]) : test.refs[i]);
        }
        const py::dict m = vk::call_method<"_calculate_asr_metrics">(trainer, py::cast(cleaned), py::cast(hyps));
        d.wer = py::cast<double>(m["wer"]);
        d.cer = py::cast<double>(m["cer"]);
    }
    return d;
}

long long decoding_length(const Config& cfg, py::handle trainer, py::handle tokenizer, const std::vector<std::string>& refs) {
    const py::dict rec = section(cfg, "recognition");
    if (rec.contains("max_length")) return py::cast<long long>(rec["max_length"]);
    const long long model_limit = py::cast<long long>(vk::attr<"max_len">(vk::attr<"model">(trainer)));
    if (refs.empty()) return model_limit;
    long long longest = 0;
    for (const std::string& r : refs) longest = std::max<long long>(longest, py::len(vk::call_method<"encode">(tokenizer, r)));
    return std::min(model_limit, longest + longest / 2 + 10);
}

std::vector<Decoded> evaluate_speech(const Config& cfg, py::handle trainer, py::handle tokenizer, const SpeechTest& test,
                                     py::handle lm_model, double lm_weight) {
    const py::dict rec = section(cfg, "recognition");
    const long long beam = beam_width(cfg);
    const long long max_length = decoding_length(cfg, trainer, tokenizer, test.refs);
    const std::string b = std::to_string(beam);
    std::vector<std::pair<std::string, py::dict>> plans;
    plans.emplace_back("greedy", recognition_config(rec, 1, 0.0, py::none(), 0.0));
    plans.emplace_back("beam_" + b, recognition_config(rec, beam, 0.0, py::none(), 0.0));
    if (!lm_model.is_none()) plans.emplace_back("beam_" + b + "+lm", recognition_config(rec, beam, 0.0, lm_model, lm_weight));
    const bool has_ctc = vk::has_attr<"encode">(vk::attr<"model">(trainer));
    const double ctc_weight = joint_ctc_weight(cfg);
    if (has_ctc && ctc_weight > 0.0) {
        plans.emplace_back("joint_ctc_attention_greedy", recognition_config(rec, 1, ctc_weight, py::none(), 0.0));
        plans.emplace_back("joint_ctc_attention_beam_" + b, recognition_config(rec, beam, ctc_weight, py::none(), 0.0));
    }
    if (has_ctc) {
        py::dict ctc = recognition_config(rec, 1, 0.0, py::none(), 0.0);
        ctc["decoder"] = "ctc";
        plans.emplace_back("ctc_greedy", ctc);
    }
    std::vector<Decoded> runs;
    for (auto& [name, plan] : plans) runs.push_back(decode(trainer, test, name, plan, max_length, tokenizer));
    return runs;
}

void results_table(const std::vector<Decoded>& runs, py::handle out_dir, long long utterances) {
    py::list rows;
    for (const Decoded& d : runs) {
        const bool ran = d.error.empty();
        py::dict row;
        row["decoding"] = d.name;
        row["WER (%)"] = ran ? py::object(py::float_(d.wer)) : py::object(py::none());
        row["CER (%)"] = ran ? py::object(py::float_(d.cer)) : py::object(py::none());
        row["ms per utterance"] =
            ran && utterances > 0 ? py::object(py::float_(1000.0 * d.seconds / static_cast<double>(utterances))) : py::object(py::none());
        row["note"] = ran ? std::string() : "not run: " + d.error;
        rows.append(row);
    }
    const py::object frame = vk::call(vk::imported<"pandas", "DataFrame">(), rows);
    vk::call_method<"to_csv">(frame, join(out_dir, "results.csv"), kw<"index">(false));
    write_json(join(out_dir, "results.json"), rows);
    // The printed table: fixed decimals; decodings that did not run are listed under it.
    py::list shown_rows;
    for (const Decoded& d : runs) {
        if (!d.error.empty()) continue;
        py::dict row;
        row["decoding"] = d.name;
        row["WER (%)"] = fmt(d.wer, 2);
        row["CER (%)"] = fmt(d.cer, 2);
        row["ms/utt"] = utterances > 0 ? fmt(1000.0 * d.seconds / static_cast<double>(utterances), 1) : "-";
        shown_rows.append(row);
    }
    if (!shown_rows.empty())
        vk::println(vk::call_method<"to_string">(vk::call(vk::imported<"pandas", "DataFrame">(), shown_rows), kw<"index">(false)));
    for (const Decoded& d : runs)
        if (!d.error.empty()) vk::println("Not run: ", d.name, " (", d.error, ")");
}

void print_pairs(const Decoded& d, const std::vector<std::string>& refs, std::size_t count) {
    if (!d.error.empty() || refs.empty() || d.records.size() != refs.size()) return;
    vk::println("\nSome test utterances (", d.name, "):");
    const std::size_t n = std::min(count, refs.size());
    for (std::size_t i = 0; i < n; ++i) {
        vk::println(vk::kBranch, "REF: ", refs[i]);
        vk::println(i + 1 == n ? vk::kLast : vk::kBranch, "HYP: ", py::str(py::dict(d.records[i])["generated"]));
    }
}

py::object new_evaluation_dir(py::handle root) {
    const py::object dir = join(root, "evaluation.partial");
    remove_tree(dir);
    make_dirs(dir);
    return dir;
}

py::object publish_evaluation(py::handle root, py::handle fresh) {
    const py::object dir = join(root, "evaluation");
    remove_tree(dir);
    vk::call(vk::imported<"os", "replace">(), fresh, dir);
    return dir;
}

void save_records(py::handle dir, const std::vector<Decoded>& runs, const SpeechTest& test) {
    for (const Decoded& d : runs) {
        if (!d.error.empty()) continue;
        py::list records;
        for (std::size_t i = 0; i < d.records.size(); ++i) {
            py::dict r;
            if (i < test.ids.size()) r["id"] = test.ids[i];
            if (i < test.refs.size()) r["reference"] = test.refs[i];
            for (const auto& [k, v] : py::dict(d.records[i])) r[k] = v;
            records.append(r);
        }
        write_json(join(dir, py::str("hypotheses_" + d.name + ".json")), records);
    }
}

int run_evaluate(py::handle args) {
    const Config cfg = load_config(py::str(vk::attr<"config">(args)));
    // --lm-weight, else the configured "recognition.lm_weight", else 0.3.
    const py::object weight_option = vk::attr<"lm_weight">(args);
    const py::dict rec = is_speech(cfg) ? py::dict(section(cfg, "recognition")) : py::dict();
    const double lm_weight = !weight_option.is_none()    ? py::cast<double>(weight_option)
                             : rec.contains("lm_weight") ? py::cast<double>(rec["lm_weight"])
                                                         : 0.3;
    if (!std::isfinite(lm_weight) || lm_weight < 0.0 || lm_weight > 100.0)
        fail("--lm-weight must be a number in [0, 100], got " + str(weight_option), 2);
    const py::object lm_option = vk::attr<"lm">(args);
    if (!lm_option.is_none() && !is_speech(cfg)) config_fail(cfg.file, "--lm applies to speech models only");
    use_threads(vk::attr<"threads">(args), &cfg);
    seed_everything(cfg);
    const py::object root = find_experiment(cfg);
    const py::object tokenizer = saved_tokenizer(cfg, root);
    const py::object model = build_model(cfg, tokenizer);
    const py::dict ckpt = load_chosen(cfg, root, model, vk::attr<"checkpoint">(args));
    const py::object trainer = evaluation_trainer(cfg, root, model, tokenizer, ckpt);
    if (!is_speech(cfg)) {
        const int status = evaluate_lm(cfg, trainer, tokenizer, root);
        vk::call_method<"cleanup">(trainer);
        return status;
    }
    const py::object test_set = build_dataset(cfg, tokenizer, "test", load_stats(cfg, root));
    const long long utterances = py::len(test_set);
    if (utterances == 0) fail(cfg.file + ": the test partition has no utterances: nothing to evaluate");
    const py::object lm_model = lm_option.is_none() ? py::object(py::none()) : load_lm(py::str(lm_option), tokenizer);
    const SpeechTest test = speech_test(cfg, test_set);
    const std::vector<Decoded> runs = evaluate_speech(cfg, trainer, tokenizer, test, lm_model, lm_weight);
    vk::println("\nTest results of ", cfg.name, " (", utterances, " utterances):");
    const py::object fresh = new_evaluation_dir(root);
    results_table(runs, fresh, utterances);
    print_pairs(runs.front(), test.refs, 3);
    save_records(fresh, runs, test);
    const py::object out = publish_evaluation(root, fresh);
    vk::println("\nResults: ", join(out, "results.csv"), ", ", join(out, "results.json"), ", hypotheses_*.json");
    vk::call_method<"cleanup">(trainer);
    std::string missing;
    for (const Decoded& d : runs)
        if (!d.error.empty()) missing += (missing.empty() ? "" : ", ") + d.name;
    if (!missing.empty()) fail("these decodings did not run: " + missing);
    return 0;
}

}  // namespace velkor_cli
