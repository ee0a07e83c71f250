// velkor demo: the whole road on the embedded text in a time budget. Data is prepared, a
// character LM and a joint CTC/attention recognizer are trained, each within its own share of the
// budget, the test partition is decoded every way, and the summary says plainly when the machine
// was too busy for the recognizer to learn.
#include "cli.hpp"

#include <algorithm>
#include <cmath>

namespace velkor_cli {
namespace {

struct DemoPlan {
    std::string out = "data/demo";
    long long train = 3000, dev = 100, test = 200;
    long long lm_epochs = 4, asr_epochs = 30;  // upper bounds: the time budget decides
    double minutes = 10.0;
};

// Shares of the budget. The data takes what it takes (about 3% on two cores).
constexpr double kLmShare = 0.12, kAsrShare = 0.75;

// The demo's configurations: written as YAML next to the data, so that `velkor train` and
// `velkor evaluate` can rerun them as they are. They differ from examples/configs/asr.yaml where
// a ten-minute CPU run is better served: float32 (bfloat16 autocast is no faster on most CPUs), no
// SpecAugment and no dropout (too few epochs to overfit), and a larger CTC weight (faster
// alignment learning).
constexpr const char* kDemoLm = R"(
name: demo-lm
task: lm
seed: 0
tokenizer: {token_type: char}
data: {root: DATA/lm, train_partition: train, val_partition: dev, test_partition: test, batch_size: 64, NUM_WORKERS: 0, subset_size: 0.5}
model: {d_model: 128, num_layers: 2, num_heads: 4, d_ff: 512, dropout: 0.0, max_len: 256}
optimizer: {name: adamw, lr: 0.002, weight_decay: 0.01}
scheduler: {name: cosine, cosine: {eta_min: 0.0001}}
training: {epochs: EPOCHS, gradient_accumulation_steps: 1, amp_dtype: float32}
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
  cosine: {eta_min: 0.00005}
  warmup: {enabled: true, epochs: 1, start_factor: 0.05}
training: {epochs: EPOCHS, gradient_accumulation_steps: 1, amp_dtype: float32}
loss: {label_smoothing: 0.1, ctc_weight: 0.5}
recognition: {beam_width: 4, ctc_weight: 0.3}
)";

std::string write_demo_config(const std::string& dir, const char* name, const char* text, const std::string& data, long long epochs) {
    std::string s(text);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"DATA", data}, {"EPOCHS", std::to_string(epochs)}})
        for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    const py::object config = vk::call(vk::imported<"yaml", "safe_load">(), s);
    const std::string path = dir + "/" + name + ".yaml";
    const py::object dumped = vk::call(vk::imported<"yaml", "safe_dump">(), config, kw<"sort_keys">(false));
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), path), dumped, kw<"encoding">("utf-8"));
    return path;
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

// A fresh experiment per demo run: the demo's own experiments are started again.
void start_fresh(const Config& cfg) {
    const py::object root = expt_root(cfg);
    for (const char* part : {"checkpoints", "evaluation"}) remove_tree(join(root, part));
    remove_file(join(root, "training_history.json"));
}

// The LM text split three ways and the synthesized speech partitions.
void prepare_data(const DemoPlan& plan) {
    const py::module_ prep = py::module_::import("velkor.data.prepare");
    make_dirs(py::str(plan.out + "/configs"));
    const py::object lm_text = vk::call(prep.attr("embedded_text"), "lm");
    py::dict splits;
    splits["train"] = 0.94;
    splits["dev"] = 0.03;
    splits["test"] = 0.03;
    vk::call(prep.attr("prepare_text"), lm_text, py::str(plan.out + "/lm"), kw<"splits">(splits), kw<"max_chars">(200));
    vk::call(prep.attr("prepare_synth"), py::str(plan.out + "/speech"), kw<"num_train">(plan.train), kw<"num_dev">(plan.dev),
             kw<"num_test">(plan.test));
}

// Greedy decoding by an untrained model of the same shape, for scale; the trained model is put back.
Decoded decode_untrained(const Config& cfg, const Trained& asr, const SpeechTest& test) {
    const py::object trained = vk::attr<"model">(asr.trainer);
    seed_everything(cfg);
    const py::object untrained = build_model(cfg, asr.tokenizer);
    vk::call_method<"to">(untrained, vk::attr<"device">(asr.trainer));
    vk::set_attr<"model">(asr.trainer, untrained);
    const Decoded before = decode(asr.trainer, test, "greedy (untrained)", recognition_config(py::dict(), 1, 0.0, py::none(), 0.0),
                                  decoding_length(cfg, asr.trainer, asr.tokenizer, test.refs), asr.tokenizer);
    vk::set_attr<"model">(asr.trainer, trained);
    return before;
}

void print_where(const std::string& out, const std::string& lm_path, const std::string& asr_path, py::handle lm_root, py::handle asr_root,
                 py::handle eval_dir) {
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
    vk::println("\nRerun a step: velkor train ", asr_path, " --overwrite   |   velkor evaluate ", asr_path, " --lm ", lm_path,
                " --lm-weight 0.3");
}

int run_demo(const DemoPlan& plan, py::handle threads) {
    const auto start = std::chrono::steady_clock::now();
    const double budget = plan.minutes * 60.0;
    // Fail before any work when the speech synthesizer is missing (the message names the extra).
    vk::call(vk::imported<"velkor.data.synth", "sample_rate">());
    use_threads(threads, nullptr);
    const std::string& out = plan.out;
    heading("1/5  Data: " + out);
    prepare_data(plan);
    const double t_data = seconds_since(start);

    const std::string lm_path = write_demo_config(out + "/configs", "demo-lm", kDemoLm, out, plan.lm_epochs);
    const std::string asr_path = write_demo_config(out + "/configs", "demo-asr", kDemoAsr, out, plan.asr_epochs);

    heading("2/5  Character language model (" + lm_path + ")");
    const Config lm_cfg = load_config(lm_path);
    start_fresh(lm_cfg);
    const auto t0 = std::chrono::steady_clock::now();
    const Trained lm = setup_training(lm_cfg);
    const long long lm_epochs = train_within(lm_cfg, lm, kLmShare * budget, plan.lm_epochs, 1e-4);
    const double t_lm = seconds_since(t0);
    const double lm_ce = py::cast<double>(vk::attr<"best_metric">(lm.trainer));
    const double uni_ce = unigram_cross_entropy(lm.train_set, lm.val_set, py::cast<long long>(vk::attr<"num_classes">(lm.tokenizer))) /
                          py::cast<double>(vk::call_method<"get_avg_chars_per_token">(lm.val_set));

    heading("3/5  Joint CTC/attention speech recognizer (" + asr_path + ")");
    const Config asr_cfg = load_config(asr_path);
    start_fresh(asr_cfg);
    const auto t1 = std::chrono::steady_clock::now();
    const Trained asr = setup_training(asr_cfg);
    // Its own share, whatever the language model took.
    const double asr_budget = std::max(0.0, kAsrShare * budget - seconds_since(t1));
    const long long asr_epochs = train_within(asr_cfg, asr, asr_budget, plan.asr_epochs, 5e-5);
    const double t_asr = seconds_since(t1);

    heading("4/5  Evaluation on the test partition");
    const py::object asr_root = vk::attr<"expt_root">(asr.trainer), lm_root = vk::attr<"expt_root">(lm.trainer);
    const py::object best_model = vk::attr<"model">(asr.trainer);
    load_best(asr_cfg, asr_root, best_model);
    const py::object lm_model = vk::attr<"model">(lm.trainer);
    load_best(lm_cfg, lm_root, lm_model);
    const py::object test_set = build_dataset(asr_cfg, asr.tokenizer, "test", training_stats(asr.train_set));
    const SpeechTest test = speech_test(asr_cfg, test_set);
    const auto t2 = std::chrono::steady_clock::now();
    const std::vector<Decoded> runs = evaluate_speech(asr_cfg, asr.trainer, asr.tokenizer, test, lm_model, 0.3);
    const Decoded before = decode_untrained(asr_cfg, asr, test);
    const double t_eval = seconds_since(t2);

    heading("5/5  Results");
    vk::println("Test partition: ", test.refs.size(), " synthesized utterances of sentences that neither model saw in training.\n");
    const py::object fresh = new_evaluation_dir(asr_root);
    results_table(runs, fresh, static_cast<long long>(test.refs.size()));
    save_records(fresh, runs, test);
    const py::object eval_dir = publish_evaluation(asr_root, fresh);
    print_pairs(runs.front(), test.refs, 4);

    vk::println("\nLearning, shown:");
    vk::println(vk::kBranch, "LM validation per-character perplexity: ", fmt(std::exp(lm_ce), 2),
                " (unigram model: ", fmt(std::exp(uni_ce), 2), ") after ", lm_epochs, " epoch(s)");
    vk::println(vk::kLast, "ASR test CER, greedy: ", fmt(runs.front().cer, 2), "% (the same model untrained: ", fmt(before.cer, 2),
                "%) after ", asr_epochs, " epoch(s)");
    const double cer = runs.front().cer;
    if (asr_epochs < 3 || !(cer < 60.0))
        vk::println("\nThe machine was too busy for this budget: the recognizer trained ", asr_epochs, " epoch(s) in ", fmt(t_asr, 0),
                    " s, too few to learn to transcribe (greedy CER ", fmt(cer, 1),
                    "%). Give it more time (velkor demo --minutes 20) or run it on a quieter machine.");

    const double total = seconds_since(start);
    vk::println("\nTime: data ", fmt(t_data, 0), " s, LM training ", fmt(t_lm, 0), " s, ASR training ", fmt(t_asr, 0), " s, evaluation ",
                fmt(t_eval, 0), " s; total ", fmt(total, 0), " s (budget ", fmt(budget, 0), " s)");
    print_where(out, lm_path, asr_path, lm_root, asr_root, eval_dir);
    vk::call_method<"cleanup">(lm.trainer);
    vk::call_method<"cleanup">(asr.trainer);
    bool all_ran = true;
    for (const Decoded& d : runs) all_ran = all_ran && d.error.empty();
    return all_ran ? 0 : 1;
}

}  // namespace

int run_demo(py::handle args) {
    DemoPlan plan;
    plan.out = py::str(vk::attr<"output">(args));
    plan.train = int_option(vk::attr<"train">(args), "--train", 1, 1000000);
    plan.test = int_option(vk::attr<"test">(args), "--test", 1, 100000);
    plan.lm_epochs = int_option(vk::attr<"lm_epochs">(args), "--lm-epochs", 1, 10000);
    plan.asr_epochs = int_option(vk::attr<"asr_epochs">(args), "--asr-epochs", 1, 10000);
    plan.minutes = py::cast<double>(vk::attr<"minutes">(args));
    if (!(plan.minutes > 0.0) || !std::isfinite(plan.minutes) || plan.minutes > 100000.0)
        fail("--minutes must be a positive number of minutes, got " + str(vk::attr<"minutes">(args)), 2);
    return run_demo(plan, vk::attr<"threads">(args));
}

}  // namespace velkor_cli
