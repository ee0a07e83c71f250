// Sequence generation from a next-token scoring function: greedy search, sampling with
// temperature, top-k and nucleus filtering, beam search, and cutting sequences after their first
// end token. The scores come from a callable run on the whole prefix every step, or from an
// incremental scorer that keeps its own state (start on the prompt, one token per step, follow
// the rows the strategy keeps). Tensor work is done by torch on the input's device; the per-row
// and per-slot bookkeeping runs on native containers after one host copy of each step's tokens
// and scores.
#include <vk/common.hpp>
#include <vkdomain/scoring.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
using vk::as_index;
using vk::is_tensor;
using vk::kw;

constexpr double kInf = std::numeric_limits<double>::infinity();

py::handle float32() { return vk::imported<"torch", "float32">(); }
py::handle float64() { return vk::imported<"torch", "float64">(); }
py::handle int64() { return vk::imported<"torch", "int64">(); }
py::handle neg_inf() {
    static PyObject* const v = vk::keep(py::float_(-kInf));
    return v;
}

// max_length is an integer; another real number is truncated to one, as int() does.
py::object max_length_arg(py::handle v) {
    if (PyLong_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    const bool number = !PyBool_Check(v.ptr()) && (PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr()) ||
                                                   PyObject_IsInstance(v.ptr(), vk::imported<"numbers", "Real">().ptr()) == 1);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (!number) vk::raise_arg_type("max_length", "int", v);
    const py::object r = py::reinterpret_steal<py::object>(PyNumber_Long(v.ptr()));
    if (!r) throw py::error_already_set();
    return r;
}

long long max_length_of(py::handle self) { return as_index(max_length_arg(vk::attr<"max_length">(self))); }

struct SpecialIds {
    long long eos;
    long long pad;
};

SpecialIds special_ids(py::handle tokenizer) {
    const long long eos = as_index(vk::attr<"eos_id">(tokenizer));
    const long long pad = vk::has_attr<"pad_id">(tokenizer) ? as_index(vk::attr<"pad_id">(tokenizer)) : 0;
    return {eos, pad};
}

bool is_float64(py::handle tensor) { return vk::attr<"dtype">(tensor).is(float64()); }

py::object div(py::handle a, double b) {
    const py::object r = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(a.ptr(), py::float_(b).ptr()));
    if (!r) throw py::error_already_set();
    return r;
}

py::tuple shape_of(py::handle t) { return py::reinterpret_borrow<py::tuple>(vk::attr<"shape">(t)); }

struct InputShape {
    long long batch;
    long long length;
};

// The input checks shared by every strategy, in their documented order; beam search checks
// beam_width between the dimension and length checks.
InputShape check_input(py::handle self, py::handle x, std::optional<long long> beam_width = std::nullopt) {
    const int is_tensor = PyObject_IsInstance(x.ptr(), vk::imported<"torch", "Tensor">().ptr());
    if (is_tensor < 0) throw py::error_already_set();
    if (is_tensor == 0) throw py::type_error("Input x must be a torch tensor");
    const py::tuple shape = shape_of(x);
    if (shape.size() != 2) throw py::value_error("Input x must be 2-dimensional (batch_size, seq_len)");
    if (beam_width && *beam_width < 1) throw py::value_error("beam_width must be >= 1");
    const InputShape s{as_index(shape[0]), as_index(shape[1])};
    if (max_length_of(self) < s.length) throw py::value_error("max_length must be >= input sequence length");
    return s;
}

bool on_cpu(py::handle device) { return py::str(vk::attr<"type">(device)).cast<std::string>() == "cpu"; }

py::object cat_columns(py::handle left, py::handle right) {
    return vk::call(vk::imported<"torch", "cat">(), py::make_tuple(left, right), kw<"dim">(1));
}

// A step's small result tensors on the host: read in place for CPU tensors, otherwise with one
// device-to-host copy of all of them (as float64, exact for scores and for ids below 2**53).
class StepValues {
public:
    StepValues(std::initializer_list<py::handle> tensors, bool cpu) {
        if (cpu) {
            for (const py::handle t : tensors) parts_.push_back(std::make_unique<vk::HostValues>(t));
            return;
        }
        py::list flat;
        std::size_t offset = 0;
        for (const py::handle t : tensors) {
            offsets_.push_back(offset);
            offset += static_cast<std::size_t>(as_index(vk::call_method<"numel">(t)));
            flat.append(vk::call_method<"flatten">(vk::call_method<"to">(t, float64())));
        }
        parts_.push_back(std::make_unique<vk::HostValues>(vk::call(vk::imported<"torch", "cat">(), flat)));
    }
    // Item i of tensor t (flattened), as a double or as an integer.
    double value(std::size_t t, std::size_t i) const { return offsets_.empty() ? (*parts_[t])[i] : (*parts_[0])[offsets_[t] + i]; }
    // True when every tensor is read through a view of its own memory.
    bool in_place() const {
        return offsets_.empty() && std::all_of(parts_.begin(), parts_.end(), [](const auto& p) { return p->in_place(); });
    }
    long long integer(std::size_t t, std::size_t i) const {
        return offsets_.empty() ? parts_[t]->integer(i) : parts_[0]->integer(offsets_[t] + i);
    }

private:
    std::vector<std::unique_ptr<vk::HostValues>> parts_;
    std::vector<std::size_t> offsets_;  // empty when each tensor is read in place
};

// ---------------------------------------------------------------------------------------------
// Where each step's next-token scores come from

std::string shape_text(const py::tuple& shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i > 0 ? ", " : "") + py::str(shape[i]).cast<std::string>();
    return s + (shape.size() == 1 ? ",)" : ")");
}

// Scores must be a (rows, vocab) tensor (vocab < 0: any positive width) before anything reads
// them: a step's tokens and scores are read on the host, row by row.
void check_scores(py::handle scores, long long rows, long long vocab, const char* source) {
    if (!is_tensor(scores)) throw py::type_error(vk::text(source, " must return a torch tensor, got ", vk::type_name(scores)));
    const py::tuple shape = shape_of(scores);
    const bool fits = shape.size() == 2 && as_index(shape[0]) == rows && (vocab < 0 ? as_index(shape[1]) > 0 : as_index(shape[1]) == vocab);
    if (!fits)
        throw py::value_error(vk::text(source, " returned scores of shape ", shape_text(shape), ", expected (", rows, ", ",
                                       vocab < 0 ? std::string("V") : std::to_string(vocab), ")"));
}

// score_fn as the strategies use it: the scores after the prompt, then after one more token per
// row, with the checks every scoring call gets. The generator keeps the sequences itself: a
// plain callable is handed the whole prefix every step, an incremental scorer takes the token
// column and follows the rows the strategy keeps. Tensors handed to a scorer are its own to keep.
class ScoreSource {
public:
    explicit ScoreSource(py::handle self) : scores_(vk::attr<"score_fn">(self), true) {}

    bool incremental() const { return scores_.incremental(); }
    // True when the scores are final log-scores, to be used without a log-softmax.
    bool log_probs() const { return scores_.log_probs(); }

    // Steps a call may take from a prompt of `length` tokens: generation stops at the model's
    // max_len instead of failing in the model once its positions run out.
    long long steps(long long max_length, long long length) const {
        const auto limit = vkdomain::max_len_of(scores_.fn());
        const long long end = limit ? std::min(max_length, *limit) : max_length;
        return std::max(0LL, end - length);
    }

    // The scores after the prompt x; `vocab` < 0 accepts any width, `check` false leaves the
    // shape to the caller (beam search over a plain callable views the result itself).
    py::object first(const py::object& x, long long rows, long long vocab, bool check = true) {
        py::object s = scores_.start(x);
        if (check || incremental()) check_scores(s, rows, vocab, incremental() ? "scorer.start" : "score_fn");
        return s;
    }

    // The scores after one more token per row: the whole `sequences` for a plain callable, the
    // last column `tokens` (N,) or (N, 1) for a scorer.
    py::object next(const py::object& sequences, const py::object& tokens, long long rows, long long vocab, bool check = true) {
        if (!incremental()) {
            py::object s = scores_.rescore(sequences);
            if (check) check_scores(s, rows, vocab, "score_fn");
            return s;
        }
        py::object s = scores_.step(vk::call_method<"clone">(vk::call_method<"reshape">(tokens, -1)));
        check_scores(s, rows, vocab, "scorer.step");
        return s;
    }

    // New row i = old row rows[i] (a scorer only: a plain callable sees the sequences).
    void select(const py::object& rows) {
        if (incremental()) scores_.select(vk::call_method<"clone">(rows));
    }

private:
    vkdomain::Scores scores_;
};

// The vocabulary size the tokenizer declares, or -1 when it declares none.
long long declared_vocab(py::handle tokenizer) {
    return vk::has_attr<"num_classes">(tokenizer) ? as_index(vk::attr<"num_classes">(tokenizer)) : -1;
}

// ---------------------------------------------------------------------------------------------
// Repetition penalty and logit filtering

using PenaltyArgs = vk::Args<"logits, sequences, penalty=1.0">;
py::object apply_repeat_penalty(py::handle, const PenaltyArgs& a) {
    const py::handle logits = a.get<"logits">();
    const double penalty = a.real<"penalty">();
    if (penalty == 1.0) return py::reinterpret_borrow<py::object>(logits);
    const py::tuple shape = shape_of(logits);
    long long rows = 1;
    for (std::size_t i = 0; i + 1 < shape.size(); ++i) rows *= as_index(shape[i]);
    if (penalty == 0.0 && rows > 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        throw py::error_already_set();
    }
    // Gather each row's values at its used tokens, apply the rule (v / penalty above zero,
    // v / (1 / penalty) otherwise) and scatter them back. A repeated token gathers the same
    // original value each time and writes the same result, so it is penalized once.
    const py::object ids = vk::call_method<"to">(a.get<"sequences">(), int64());
    const py::object values = vk::call_method<"gather">(logits, -1, ids);
    const py::object penalized =
        vk::call(vk::imported<"torch", "where">(), vk::call_method<"gt">(values, 0), div(values, penalty), div(values, 1.0 / penalty));
    vk::call_method<"scatter_">(logits, -1, ids, penalized);
    return py::reinterpret_borrow<py::object>(logits);
}

using FilterArgs = vk::Args<"logits, temperature=1.0, top_k=0, top_p=1.0">;
py::object filter_logits(py::handle, const FilterArgs& a) {
    const double temperature = a.real<"temperature">();
    const long long top_k = a.integer<"top_k">();
    const double top_p = a.real<"top_p">();
    // A new tensor: the writes below never reach the caller's logits.
    const py::object out = div(a.get<"logits">(), temperature);
    const long long vocab = as_index(shape_of(out)[shape_of(out).size() - 1]);
    if (top_k > 0 && vocab > 0) {
        const long long k = std::min(top_k, vocab);
        const py::object top_values = vk::unpack<2>(vk::call_method<"topk">(out, k, kw<"dim">(-1)))[0];
        const py::object kth = vk::call_method<"narrow">(top_values, -1, k - 1, 1);
        // Strictly smaller only: every entry tied with the k-th value survives.
        vk::call_method<"masked_fill_">(out, vk::call_method<"lt">(out, kth), neg_inf());
    }
    if (top_p < 1.0 && vocab > 0) {
        const py::object log_probs = vk::call_method<"log_softmax">(out, -1);
        const auto [sorted, sorted_indices] = vk::unpack<2>(vk::call_method<"sort">(log_probs, kw<"dim">(-1), kw<"descending">(true)));
        const py::object cumulative = vk::call_method<"cumsum">(vk::call_method<"exp">(sorted), -1);
        const py::object remove = vk::call_method<"gt">(cumulative, top_p);
        // Shift the marks one place right so the token crossing the threshold, and the most
        // probable token, survive.
        const py::object shifted = vk::call(vk::imported<"torch", "zeros_like">(), remove);
        vk::call_method<"copy_">(vk::call_method<"narrow">(shifted, -1, 1, vocab - 1), vk::call_method<"narrow">(remove, -1, 0, vocab - 1));
        const py::object marks = vk::call_method<"scatter">(remove, -1, sorted_indices, shifted);
        vk::call_method<"masked_fill_">(out, marks, neg_inf());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Greedy search and sampling

// The frame both strategies share: `pick(scores, sequences)` turns a step's (B, V) scores into
// (token scores, tokens), each (B, 1); scores accumulate on the host while rows are unfinished,
// and finished rows get pad_id from the step they emit the end token on. A scorer keeps every
// row (finished rows step on pad_id), so a seeded sampler draws exactly what it draws over the
// whole prefix.
template <class Pick>
py::object decode_rows(py::handle self, py::handle x, const InputShape& in, ScoreSource& source, Pick&& pick) {
    const long long batch = in.batch;
    const long long steps = source.steps(max_length_of(self), in.length);
    const py::object device = vk::attr<"device">(x);
    const bool cpu = on_cpu(device);
    const py::object tokenizer = vk::attr<"tokenizer">(self);
    const SpecialIds ids = special_ids(tokenizer);
    const long long vocab = declared_vocab(tokenizer);

    // Scores as torch keeps them: float32 sums, float64 once a step's scores are float64.
    std::vector<double> scores(static_cast<std::size_t>(batch), 0.0);
    std::vector<char> finished(static_cast<std::size_t>(batch), 0);
    bool wide = false;
    long long finished_rows = 0;
    std::optional<vk::Staging<std::int64_t>> column;

    py::object sequences = py::reinterpret_borrow<py::object>(x);
    py::object last;  // the column appended last, (B, 1)
    std::optional<StepValues> host;
    py::object read_scores, read_tokens;
    for (long long s = 0; s < steps && finished_rows < batch; ++s) {
        const py::object step_scores = s == 0 ? source.first(sequences, batch, vocab) : source.next(sequences, last, batch, vocab);
        const auto [token_scores, tokens] = pick(step_scores, sequences);
        // The penalty and the filter are overridable methods: whatever they did, a step reads
        // exactly B values of each.
        for (const py::handle t : {token_scores, tokens})
            if (as_index(vk::call_method<"numel">(t)) != batch)
                throw py::value_error(
                    vk::text("a step produced ", py::str(vk::call_method<"numel">(t)).cast<std::string>(), " values for ", batch, " rows"));
        wide = wide || is_float64(token_scores);
        // A step that wrote into the previous step's tensors is read through the same views.
        if (!host || !host->in_place() || !token_scores.is(read_scores) || !tokens.is(read_tokens)) {
            host.emplace(std::initializer_list<py::handle>{token_scores, tokens}, cpu);
            read_scores = token_scores;  // kept alive, so that identity means the same tensor
            read_tokens = tokens;
        }
        for (long long i = 0; i < batch; ++i) {
            const auto r = static_cast<std::size_t>(i);
            if (finished[r]) continue;
            const double v = host->value(0, r);
            scores[r] = wide ? scores[r] + v : static_cast<double>(static_cast<float>(scores[r]) + static_cast<float>(v));
            if (host->integer(1, r) == ids.eos) {
                finished[r] = 1;
                ++finished_rows;
            }
        }
        py::object next = tokens;
        if (finished_rows > 0) {
            if (!column) column.emplace(py::make_tuple(batch, 1), int64(), device, cpu);
            for (long long i = 0; i < batch; ++i) {
                const auto r = static_cast<std::size_t>(i);
                (*column)[r] = finished[r] ? ids.pad : static_cast<std::int64_t>(host->integer(1, r));
            }
            next = column->upload();
        }
        last = next;
        sequences = cat_columns(sequences, next);
    }
    py::list values(static_cast<std::size_t>(batch));
    for (std::size_t i = 0; i < scores.size(); ++i) values[i] = py::float_(scores[i]);
    const py::object score_tensor =
        vk::call(vk::imported<"torch", "tensor">(), values, kw<"dtype">(wide ? float64() : float32()), kw<"device">(device));
    return py::make_tuple(sequences, score_tensor);
}

using GreedyArgs = vk::Args<"x, temperature=1.0, repeat_penalty=1.0">;
py::object generate_greedy(py::handle self, const GreedyArgs& a) {
    const py::handle x = a.get<"x">();
    const double temperature = a.real<"temperature">();
    const py::float_ penalty(a.real<"repeat_penalty">());
    const InputShape in = check_input(self, x);
    ScoreSource source(self);
    py::object score_out, token_out;
    return decode_rows(self, x, in, source, [&](const py::object& step_scores, const py::object& sequences) {
        py::object logits = vk::call_method<"_apply_repeat_penalty">(self, step_scores, sequences, penalty);
        // Dividing by 1.0 changes no value; skipping it saves a pass over the logits.
        if (temperature != 1.0) logits = div(logits, temperature);
        const py::object log_probs = source.log_probs() ? logits : vk::call_method<"log_softmax">(logits, -1);
        // max(dim) with indices is torch's slowest way to this pair: argmax picks the same first
        // maximal index (NaN counting as maximal) and gather reads that very element.
        if (vk::truthy(vk::attr<"requires_grad">(log_probs))) {
            const py::object tokens = vk::call_method<"argmax">(log_probs, kw<"dim">(-1), kw<"keepdim">(true));
            return std::array<py::object, 2>{vk::call_method<"gather">(log_probs, -1, tokens), tokens};
        }
        // Without autograd both land in tensors allocated once (per dtype), so a step allocates
        // nothing beyond the log-probabilities and the longer sequences.
        const py::object dtype = vk::attr<"dtype">(log_probs);
        if (!score_out || !vk::attr<"dtype">(score_out).is(dtype)) {
            const py::handle empty = vk::imported<"torch", "empty">();
            const py::object device = vk::attr<"device">(log_probs);
            score_out = vk::call(empty, in.batch, 1, kw<"dtype">(dtype), kw<"device">(device));
            token_out = vk::call(empty, in.batch, 1, kw<"dtype">(int64()), kw<"device">(device));
        }
        vk::call(vk::imported<"torch", "argmax">(), log_probs, kw<"dim">(-1), kw<"keepdim">(true), kw<"out">(token_out));
        vk::call(vk::imported<"torch", "gather">(), log_probs, -1, token_out, kw<"out">(score_out));
        return std::array<py::object, 2>{score_out, token_out};
    });
}

using SampleArgs = vk::Args<"x, temperature=1.0, top_k=0, top_p=1.0">;
py::object generate_sample(py::handle self, const SampleArgs& a) {
    const py::handle x = a.get<"x">();
    const py::float_ temperature(a.real<"temperature">());
    const long long top_k = a.integer<"top_k">();
    const py::float_ top_p(a.real<"top_p">());
    const InputShape in = check_input(self, x);
    if (!(temperature.cast<double>() > 0.0)) throw py::value_error("temperature must be > 0");
    if (top_k < 0) throw py::value_error("top_k must be >= 0");
    if (!(top_p.cast<double>() > 0.0 && top_p.cast<double>() <= 1.0)) throw py::value_error("top_p must be > 0 and <= 1.0");
    ScoreSource source(self);
    const py::int_ k(top_k);
    // The filtered scores are always normalized: a draw needs a distribution.
    return decode_rows(self, x, in, source, [&](const py::object& step_scores, const py::object&) {
        const py::object filtered = vk::call_method<"_filter_logits">(self, step_scores, temperature, k, top_p);
        const py::object log_probs = vk::call_method<"log_softmax">(filtered, -1);
        const py::object tokens = vk::call(vk::imported<"torch", "multinomial">(), vk::call_method<"exp">(log_probs), 1);
        return std::array<py::object, 2>{vk::call_method<"gather">(log_probs, -1, tokens), tokens};
    });
}

// ---------------------------------------------------------------------------------------------
// Beam search

// A hypothesis: row `row` of the (N, length) tensor `store`. Finished hypotheses live in
// per-step copies of the rows that ended, so later steps (or a score function writing into its
// input) cannot change them.
struct Hypothesis {
    py::object store;
    long long row;
    long long length;
    double score;
};

// Highest score first; NaN ranks below everything so the order stays a strict weak order.
bool ranks_before(const Hypothesis& a, const Hypothesis& b) {
    const double x = std::isnan(a.score) ? -kInf : a.score;
    const double y = std::isnan(b.score) ? -kInf : b.score;
    return x > y;
}

void rank(std::vector<Hypothesis>& hypotheses) { std::stable_sort(hypotheses.begin(), hypotheses.end(), ranks_before); }

// A step's K best totals per row of K*V. torch's top-k over all K*V values is the costliest part
// of a step, so each row is viewed as (groups, columns), column j being the entries
// {j, columns + j, 2 * columns + j, ...}, and the best found in two small top-k's: first the
// K + 1 columns with the largest maxima, then the K + 1 best entries of the first K of them. A
// column left out holds nothing above the (K+1)-th largest column maximum, so the K best
// candidates are the row's K best for certain when they have no ties among themselves or with
// the next candidate, and the K-th stays strictly above that maximum (NaN fails both checks).
// Otherwise the step takes the full top-k, whose order among ties is the reference.
struct TopPlan {
    long long groups = 0;  // 0: always the full top-k
    long long columns = 0;
};

// torch's CPU top-k partially sorts (cheap per entry) when the row has at least 64 entries per
// requested one, and otherwise selects with unpredictable branches (several times dearer).
double top_cost(long long entries, long long k) { return static_cast<double>(entries) * (entries >= 64 * k ? 1.0 : 6.0); }

TopPlan plan_top(long long batch, long long beam_width, long long vocab) {
    const long long row = beam_width * vocab;
    const long long k1 = beam_width + 1;
    // Small steps: the extra calls would cost more than the full top-k saves.
    if (batch * row < 16384) return {};
    // Long columns first: the column maxima are then reduced along long contiguous runs, and
    // ranked by partial sorting.
    for (const long long min_columns : {64 * k1, k1}) {
        TopPlan best;
        double best_cost = top_cost(row, beam_width) / 2;  // worth it only at half the cost or less
        const auto consider = [&](long long g) {
            if (g < 2 || row / g < min_columns) return;
            const double cost = top_cost(row / g, k1) + top_cost(g * beam_width, k1);
            if (cost < best_cost) {
                best_cost = cost;
                best = {g, row / g};
            }
        };
        for (long long d = 1; d * d <= row; ++d)
            if (row % d == 0) {
                consider(d);
                consider(row / d);
            }
        if (best.groups > 0) return best;
    }
    return {};
}

// Runs the two-stage selection into outputs allocated once per dtype; on the CPU their values
// are read in place through buffers taken once, so a step makes no host copies.
class TopStage {
public:
    TopStage(const TopPlan& plan, long long batch, long long k, py::handle dtype, py::handle device, bool cpu)
        : plan_(plan), batch_(batch), k_(k), dtype_(py::reinterpret_borrow<py::object>(dtype)), cpu_(cpu) {
        const long long k1 = k + 1;
        const py::handle empty = vk::imported<"torch", "empty">();
        const auto make = [&](py::tuple shape, py::handle type) { return vk::call(empty, shape, kw<"dtype">(type), kw<"device">(device)); };
        column_max_ = make(py::make_tuple(batch, plan.columns), dtype);
        best_columns_ = py::make_tuple(make(py::make_tuple(batch, k1), dtype), make(py::make_tuple(batch, k1), int64()));
        // The entries of the K best columns (views of the indices the first top-k writes).
        picked_ = vk::call_method<"expand">(vk::call_method<"unsqueeze">(vk::call_method<"narrow">(best_columns_[1], 1, 0, k), 1), batch,
                                            plan.groups, k);
        candidates_ = make(py::make_tuple(batch, plan.groups, k), dtype);
        candidate_rows_ = vk::call_method<"view">(candidates_, batch, plan.groups * k);
        best_ = py::make_tuple(make(py::make_tuple(batch, k1), dtype), make(py::make_tuple(batch, k1), int64()));
        if (cpu && (dtype_.is(float32()) || dtype_.is(float64())))
            in_place_.emplace(std::initializer_list<py::handle>{best_[0], best_[1], best_columns_[0], best_columns_[1]}, true);
    }
    bool holds(py::handle dtype) const { return dtype_.is(dtype); }

    // Fills scores and flat as step_top does and returns true, or returns false when the result
    // may differ from the full top-k's.
    bool run(const py::object& totals, std::vector<double>& scores, std::vector<long long>& flat) {
        const long long k1 = k_ + 1;
        const py::object grid = vk::call_method<"view">(totals, batch_, plan_.groups, plan_.columns);
        vk::call(vk::imported<"torch", "amax">(), grid, 1, kw<"out">(column_max_));
        vk::call(vk::imported<"torch", "topk">(), column_max_, k1, 1, kw<"out">(best_columns_));
        vk::call(vk::imported<"torch", "gather">(), grid, 2, picked_, kw<"out">(candidates_));
        vk::call(vk::imported<"torch", "topk">(), candidate_rows_, k1, 1, kw<"out">(best_));
        std::optional<StepValues> copied;
        const StepValues& host =
            in_place_ ? *in_place_
                      : copied.emplace(std::initializer_list<py::handle>{best_[0], best_[1], best_columns_[0], best_columns_[1]}, cpu_);
        for (long long b = 0; b < batch_; ++b) {
            const auto at = static_cast<std::size_t>(b * k1);
            for (std::size_t i = 0; i < static_cast<std::size_t>(k_); ++i)
                if (!(host.value(0, at + i) > host.value(0, at + i + 1))) return false;
            if (!(host.value(0, at + static_cast<std::size_t>(k_ - 1)) > host.value(2, at + static_cast<std::size_t>(k_)))) return false;
        }
        for (long long b = 0; b < batch_; ++b)
            for (long long i = 0; i < k_; ++i) {
                const auto at = static_cast<std::size_t>(b * k1 + i);
                // Candidate p is entry p / K of column best_columns[b, p % K].
                const long long p = host.integer(1, at);
                const long long column = host.integer(3, static_cast<std::size_t>(b * k1 + p % k_));
                const auto slot = static_cast<std::size_t>(b * k_ + i);
                scores[slot] = host.value(0, at);
                flat[slot] = (p / k_) * plan_.columns + column;
            }
        return true;
    }

private:
    TopPlan plan_;
    long long batch_, k_;
    py::object dtype_;
    bool cpu_;
    py::object column_max_, candidates_, candidate_rows_, picked_;
    py::tuple best_columns_, best_;  // (values, indices) each
    std::optional<StepValues> in_place_;
};

// Fills scores[b*K + i] and flat[b*K + i] (the index among row b's K*V totals) with row b's
// i-th best total, exactly as totals.view(B, K*V).topk(K, dim=1) orders them.
void step_top(const py::object& totals, long long batch, long long beam_width, const TopPlan& plan, bool cpu,
              std::optional<TopStage>& stage, std::vector<double>& scores, std::vector<long long>& flat) {
    if (plan.groups > 0) {
        const py::object dtype = vk::attr<"dtype">(totals);
        if (!stage || !stage->holds(dtype)) stage.emplace(plan, batch, beam_width, dtype, vk::attr<"device">(totals), cpu);
        if (stage->run(totals, scores, flat)) return;
    }
    const auto [values, positions] =
        vk::unpack<2>(vk::call_method<"topk">(vk::call_method<"view">(totals, batch, -1), beam_width, kw<"dim">(1)));
    const StepValues host({values, positions}, cpu);
    for (std::size_t i = 0; i < scores.size(); ++i) {
        scores[i] = host.value(0, i);
        flat[i] = host.integer(1, i);
    }
}

py::object index_tensor(const std::vector<long long>& values, py::handle device) {
    py::list items(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) items[i] = py::int_(values[i]);
    return vk::call(vk::imported<"torch", "tensor">(), items, kw<"dtype">(int64()), kw<"device">(device));
}

// Writes each row's best hypotheses into zero-filled (B, K, max_length) sequences: tokens from the
// start, pad_id after a shorter hypothesis; slots without a candidate keep zeros and -inf.
py::object select_final(py::handle x, const std::vector<std::vector<Hypothesis>>& finished, const py::object& live, long long live_length,
                        const std::vector<double>& live_scores, long long beam_width, long long max_length, long long pad,
                        py::handle device) {
    const long long batch = static_cast<long long>(finished.size());
    const long long slots = batch * beam_width;
    const py::object dtype = vk::attr<"dtype">(x);
    const py::object final_sequences =
        vk::call(vk::imported<"torch", "zeros">(), py::make_tuple(batch, beam_width, max_length), kw<"dtype">(dtype), kw<"device">(device));
    const py::object flat = vk::call_method<"view">(final_sequences, slots, max_length);

    struct Group {
        py::object store;
        long long length;
        std::vector<long long> source, target;
    };
    std::vector<Group> groups;
    std::vector<long long> lengths(static_cast<std::size_t>(slots), max_length);
    std::vector<double> scores(static_cast<std::size_t>(slots), -kInf);
    bool short_rows = false;

    for (long long b = 0; b < batch; ++b) {
        std::vector<Hypothesis> candidates = finished[static_cast<std::size_t>(b)];
        for (long long k = 0; k < beam_width; ++k) {
            const double s = live_scores[static_cast<std::size_t>(b * beam_width + k)];
            if (s != -kInf) candidates.push_back({live, b * beam_width + k, live_length, s});
        }
        rank(candidates);
        const std::size_t n = std::min(candidates.size(), static_cast<std::size_t>(beam_width));
        for (std::size_t idx = 0; idx < n; ++idx) {
            const Hypothesis& h = candidates[idx];
            const long long slot = b * beam_width + static_cast<long long>(idx);
            scores[static_cast<std::size_t>(slot)] = h.score;
            lengths[static_cast<std::size_t>(slot)] = h.length;
            short_rows = short_rows || h.length < max_length;
            auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.store.is(h.store); });
            if (group == groups.end()) group = groups.insert(groups.end(), Group{h.store, h.length, {}, {}});
            group->source.push_back(h.row);
            group->target.push_back(slot);
        }
    }
    for (const Group& g : groups) {
        const py::object rows = vk::call_method<"index_select">(g.store, 0, index_tensor(g.source, device));
        vk::call_method<"index_copy_">(vk::call_method<"narrow">(flat, 1, 0, g.length), 0, index_tensor(g.target, device),
                                       vk::call_method<"to">(rows, dtype));
    }
    // Zeros are already in place when pad_id is 0.
    if (short_rows && pad != 0) {
        const py::object columns = vk::call(vk::imported<"torch", "arange">(), max_length, kw<"device">(device));
        const py::object ends = vk::call_method<"unsqueeze">(index_tensor(lengths, device), 1);
        vk::call_method<"masked_fill_">(flat, vk::call_method<"ge">(vk::call_method<"unsqueeze">(columns, 0), ends), pad);
    }
    py::list values(static_cast<std::size_t>(slots));
    for (std::size_t i = 0; i < scores.size(); ++i) values[i] = py::float_(static_cast<double>(static_cast<float>(scores[i])));
    const py::object final_scores = vk::call_method<"view">(
        vk::call(vk::imported<"torch", "tensor">(), values, kw<"dtype">(float32()), kw<"device">(device)), batch, beam_width);
    return py::make_tuple(final_sequences, final_scores);
}

// The index rows a beam step hands to torch, written on the host and uploaded together (off the
// CPU, one copy per upload): each slot's parent row and new token, the slots whose hypotheses
// just ended, and the inactive slots. Slot b*K + k is beam k of row b.
class BeamIndices {
public:
    BeamIndices(long long slots, py::handle device, bool cpu)
        : n_(static_cast<std::size_t>(slots)), stage_(py::make_tuple(4, slots), int64(), device, cpu) {
        const py::object& rows = stage_.target();
        parents_ = vk::call_method<"select">(rows, 0, 0);
        tokens_ = vk::call_method<"select">(rows, 0, 1);
        token_column_ = vk::call_method<"view">(tokens_, slots, 1);
        ended_ = vk::call_method<"select">(rows, 0, 2);
        inactive_ = vk::call_method<"select">(rows, 0, 3);
    }

    std::int64_t& parent(std::size_t slot) { return stage_[slot]; }
    std::int64_t& token(std::size_t slot) { return stage_[n_ + slot]; }
    std::int64_t& ended(std::size_t j) { return stage_[2 * n_ + j]; }
    std::int64_t& inactive(std::size_t j) { return stage_[3 * n_ + j]; }
    void upload() { stage_.upload(); }

    // Views of the uploaded rows: parents (N,), tokens (N,) and as a column (N, 1), and the first
    // `count` ended or inactive slots.
    const py::object& parents() const { return parents_; }
    const py::object& tokens() const { return tokens_; }
    const py::object& token_column() const { return token_column_; }
    py::object ended_rows(std::size_t count) const { return vk::call_method<"narrow">(ended_, 0, 0, static_cast<long long>(count)); }
    py::object inactive_rows(std::size_t count) const { return vk::call_method<"narrow">(inactive_, 0, 0, static_cast<long long>(count)); }

private:
    std::size_t n_;
    vk::Staging<std::int64_t> stage_;
    py::object parents_, tokens_, token_column_, ended_, inactive_;
};

// The running scores of the live hypotheses (-inf: an inactive slot), and the (B, K, 1) tensor a
// step adds them from, in the dtype torch keeps such sums in: float32 until a step's scores are
// float64, float64 from then on.
class LiveScores {
public:
    LiveScores(long long batch, long long beam_width, py::handle device, bool cpu)
        : values(static_cast<std::size_t>(batch * beam_width), -kInf),
          shape_(py::make_tuple(batch, beam_width, 1)),
          device_(py::reinterpret_borrow<py::object>(device)),
          cpu_(cpu) {
        // Only beam 0 starts active, so the K identical prompts do not give K identical expansions.
        for (long long b = 0; b < batch; ++b) values[static_cast<std::size_t>(b * beam_width)] = 0.0;
    }

    bool wide() const { return wide_; }
    void widen() { wide_ = true; }

    const py::object& upload() {
        if (wide_) {
            if (!wide_stage_) wide_stage_.emplace(shape_, float64(), device_, cpu_);
            for (std::size_t i = 0; i < values.size(); ++i) (*wide_stage_)[i] = values[i];
            return wide_stage_->upload();
        }
        if (!narrow_stage_) narrow_stage_.emplace(shape_, float32(), device_, cpu_);
        for (std::size_t i = 0; i < values.size(); ++i) (*narrow_stage_)[i] = static_cast<float>(values[i]);
        return narrow_stage_->upload();
    }

    std::vector<double> values;

private:
    py::tuple shape_;
    py::object device_;
    bool cpu_;
    bool wide_ = false;
    std::optional<vk::Staging<float>> narrow_stage_;
    std::optional<vk::Staging<double>> wide_stage_;
};

using BeamArgs = vk::Args<"x, beam_width, temperature=1.0, repeat_penalty=1.0, length_penalty=0.0">;

// The rank of a hypothesis: its total log-probability, or with a length penalty a > 0 that total
// divided by (generated tokens)^a. Unnormalized totals favour short hypotheses (every token adds a
// negative term), so a beam that ends at once can outrank longer ones with better tokens; a = 1
// ranks by the mean per-token log-probability.
double length_penalty_of(const BeamArgs& a) {
    const double alpha = a.real<"length_penalty">();
    if (!std::isfinite(alpha) || alpha < 0.0) throw py::value_error(vk::text("length_penalty must be a finite number >= 0, got ", alpha));
    return alpha;
}

// Beam search over B rows of K beams. Each step scores all live hypotheses in one call, keeps
// each row's K best extensions (their parents and tokens), and retires the hypotheses that just
// emitted the end token; the search stops when every row has K finished hypotheses and no live
// one, or at the length limit.
class BeamSearch {
public:
    BeamSearch(py::handle self, const BeamArgs& a)
        : self_(self),
          x_(py::reinterpret_borrow<py::object>(a.get<"x">())),
          beam_width_(a.integer<"beam_width">()),
          temperature_(a.real<"temperature">()),
          penalty_(a.real<"repeat_penalty">()),
          length_penalty_(length_penalty_of(a)),
          in_(check_input(self, x_, beam_width_)),
          max_length_(max_length_of(self)),
          vocab_(as_index(vk::attr<"num_classes">(vk::attr<"tokenizer">(self)))),
          ids_(special_ids(vk::attr<"tokenizer">(self))),
          source_(self),
          device_(vk::attr<"device">(x_)),
          cpu_(on_cpu(device_)),
          slots_(in_.batch * beam_width_),
          sequences_(vk::call_method<"repeat_interleave">(x_, beam_width_, kw<"dim">(0))),
          length_(in_.length),
          live_(in_.batch, beam_width_, device_, cpu_),
          finished_(static_cast<std::size_t>(in_.batch)),
          indices_(slots_, device_, cpu_),
          plan_(plan_top(in_.batch, beam_width_, vocab_)),
          flat_(static_cast<std::size_t>(slots_)) {}

    py::object run() {
        const long long steps = source_.steps(max_length_, in_.length);
        for (long long s = 0; s < steps; ++s) {
            choose(totals(next_logits(s)));
            retire_ended();
            if (done()) break;
        }
        std::vector<double> live_ranks = live_.values;
        for (double& v : live_ranks) v = ranked(v, length_);
        return select_final(x_, finished_, sequences_, length_, live_ranks, beam_width_, max_length_, ids_.pad, device_);
    }

private:
    // Beams compete on their totals while they grow (all have one length); finished hypotheses
    // and the final choice are ranked by the length-penalized score, which is what is returned.
    double ranked(double total, long long length) const {
        if (length_penalty_ == 0.0 || total == -kInf) return total;
        return total / std::pow(static_cast<double>(std::max(1LL, length - in_.length)), length_penalty_);
    }

    std::size_t n_slots() const { return static_cast<std::size_t>(slots_); }

    // The step's raw scores of every slot, (B, K, V). A plain callable rescores the whole (B*K, T)
    // hypotheses. A scorer starts on the B prompts, whose K copies would score alike, and follows
    // the beams from there: B rows become B*K, then each step keeps the parents of the chosen
    // candidates.
    py::object next_logits(long long s) {
        py::object scores;
        if (!source_.incremental()) {
            scores =
                s == 0 ? source_.first(sequences_, slots_, vocab_, false) : source_.next(sequences_, py::none(), slots_, vocab_, false);
        } else if (s == 0) {
            const py::object prompt_scores = source_.first(x_, in_.batch, vocab_);
            const py::object batch_rows = vk::call(vk::imported<"torch", "arange">(), in_.batch, kw<"device">(device_));
            source_.select(vk::call_method<"repeat_interleave">(batch_rows, beam_width_));
            scores = vk::call_method<"repeat_interleave">(prompt_scores, beam_width_, kw<"dim">(0));
        } else {
            source_.select(indices_.parents());
            scores = source_.next(sequences_, indices_.tokens(), slots_, vocab_);
        }
        return vk::call_method<"view">(scores, in_.batch, beam_width_, vocab_);
    }

    // Each candidate's total: the penalized, tempered log-probabilities (or the scorer's own
    // log-scores) plus its parent's running score; candidates of an inactive slot stay -inf
    // whatever the scores say (NaN included).
    py::object totals(py::object logits) {
        const py::object live_scores = live_.upload();
        std::size_t inactive = 0;
        for (std::size_t i = 0; i < n_slots(); ++i)
            if (live_.values[i] == -kInf) indices_.inactive(inactive++) = static_cast<std::int64_t>(i);

        const py::object history = vk::call_method<"view">(sequences_, in_.batch, beam_width_, length_);
        logits = vk::call_method<"_apply_repeat_penalty">(self_, logits, history, penalty_);
        if (temperature_ != 1.0) logits = div(logits, temperature_);
        py::object sums = source_.log_probs() ? logits : vk::call_method<"log_softmax">(logits, -1);
        // The log-probabilities are a fresh tensor: add in place unless autograd needs them or
        // the sum needs a wider dtype than theirs. Log-scores used as given belong to the scorer.
        const py::object dtype = vk::attr<"dtype">(sums);
        const bool holds_sum = dtype.is(float64()) || (dtype.is(float32()) && !live_.wide());
        if (!holds_sum || source_.log_probs() || vk::truthy(vk::attr<"requires_grad">(sums))) {
            sums = vk::add(sums, live_scores);
        } else {
            vk::call_method<"add_">(sums, live_scores);
        }
        // Filling only the inactive rows costs in proportion to them, not to the whole step.
        if (inactive > 0) {
            indices_.upload();
            vk::call_method<"index_fill_">(vk::call_method<"view">(sums, slots_, vocab_), 0, indices_.inactive_rows(inactive), neg_inf());
        }
        if (is_float64(sums)) live_.widen();
        return sums;
    }

    // Keeps each row's K best candidates: their totals become the live scores, and each slot's
    // hypothesis is its parent's extended by its token.
    void choose(const py::object& totals) {
        step_top(totals, in_.batch, beam_width_, plan_, cpu_, stage_, live_.values, flat_);
        for (std::size_t i = 0; i < n_slots(); ++i) {
            const long long row = static_cast<long long>(i) / beam_width_;
            indices_.parent(i) = row * beam_width_ + flat_[i] / vocab_;
            indices_.token(i) = flat_[i] % vocab_;
        }
        indices_.upload();
        sequences_ = cat_columns(vk::call_method<"index_select">(sequences_, 0, indices_.parents()), indices_.token_column());
        ++length_;
    }

    // Hypotheses that just ended leave the beam for their row's finished list (its K best kept).
    // An extension of an inactive beam (score -inf, picked only when fewer than K candidates
    // exist) is not a hypothesis and is not recorded.
    void retire_ended() {
        std::vector<std::size_t> ended;
        for (std::size_t i = 0; i < n_slots(); ++i)
            if (indices_.token(i) == ids_.eos && live_.values[i] != -kInf) {
                indices_.ended(ended.size()) = static_cast<std::int64_t>(i);
                ended.push_back(i);
            }
        if (ended.empty()) return;
        indices_.upload();
        // A copy of the ended rows: later steps (or a score function writing into its input) cannot change them.
        const py::object store = vk::call_method<"index_select">(sequences_, 0, indices_.ended_rows(ended.size()));
        const auto width = static_cast<std::size_t>(beam_width_);
        for (std::size_t j = 0; j < ended.size(); ++j) {
            const std::size_t i = ended[j];
            finished_[i / width].push_back({store, static_cast<long long>(j), length_, ranked(live_.values[i], length_)});
            live_.values[i] = -kInf;
        }
        for (auto& row : finished_)
            if (row.size() > width) {
                rank(row);
                row.resize(width);
            }
    }

    // True once every row has no live beam and K finished hypotheses.
    bool done() const {
        for (long long b = 0; b < in_.batch; ++b) {
            const auto first = live_.values.begin() + b * beam_width_;
            const bool idle = std::all_of(first, first + beam_width_, [](double v) { return v == -kInf; });
            if (!idle || finished_[static_cast<std::size_t>(b)].size() < static_cast<std::size_t>(beam_width_)) return false;
        }
        return true;
    }

    py::handle self_;
    py::object x_;
    long long beam_width_;
    double temperature_;
    py::float_ penalty_;
    double length_penalty_;
    InputShape in_;
    long long max_length_, vocab_;
    SpecialIds ids_;
    ScoreSource source_;
    py::object device_;
    bool cpu_;
    long long slots_;
    py::object sequences_;  // (B*K, length): the live hypotheses
    long long length_;
    LiveScores live_;
    std::vector<std::vector<Hypothesis>> finished_;
    BeamIndices indices_;
    TopPlan plan_;
    std::optional<TopStage> stage_;
    std::vector<long long> flat_;  // each slot's pick among its row's K*V candidates
};

py::object generate_beam(py::handle self, const BeamArgs& a) { return BeamSearch(self, a).run(); }

// ---------------------------------------------------------------------------------------------
// End-of-sequence post-processing

using PostProcessArgs = vk::Args<"seq, tokenizer">;
py::object post_process_sequence(py::handle, const PostProcessArgs& a) {
    const py::handle seq = a.get<"seq">();
    const py::object eos = vk::attr<"eos_id">(a.get<"tokenizer">());
    const py::object is_eos = py::reinterpret_steal<py::object>(PyObject_RichCompare(seq.ptr(), eos.ptr(), Py_EQ));
    if (!is_eos) throw py::error_already_set();
    const py::tuple shape = shape_of(seq);
    if (shape.size() != 1 && shape.size() != 2)
        throw py::value_error(vk::text("seq must be 1-dimensional or 2-dimensional, got shape ", shape_text(shape)));
    // The mask must mark every position of seq and nothing else: an eos_id that broadcasts
    // (a tensor of several ids) or compares oddly would leave fewer counts than rows below.
    if (!is_tensor(is_eos) || !shape_of(is_eos).equal(shape))
        throw py::value_error(vk::text("seq == tokenizer.eos_id must give a mask of shape ", shape_text(shape), ", got ",
                                       is_tensor(is_eos) ? shape_text(shape_of(is_eos)) : vk::type_name(is_eos)));
    if (shape.size() == 1) {
        const py::object positions = vk::call_method<"nonzero">(is_eos);
        if (as_index(shape_of(positions)[0]) == 0) return py::reinterpret_borrow<py::object>(seq);
        const long long first =
            as_index(vk::call_method<"item">(vk::call_method<"select">(vk::call_method<"select">(positions, 0, 0), 0, 0)));
        return vk::call_method<"narrow">(seq, 0, 0, first + 1);
    }
    // Rows are cut just after their first end token: the positions at or after it number
    // `after`, so the row keeps T - after + 1 tokens (all T when it has none).
    const long long width = as_index(shape[1]);
    const py::object after = vk::call_method<"sum">(vk::call_method<"gt">(vk::call_method<"cumsum">(is_eos, 1), 0), 1);
    const vk::HostValues counts(after);
    const py::tuple rows = py::reinterpret_borrow<py::tuple>(vk::call_method<"unbind">(seq, 0));
    if (counts.size() != rows.size()) throw py::value_error(vk::text("expected ", rows.size(), " end-token counts, got ", counts.size()));
    py::list out(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const long long n = counts.integer(i);
        out[i] = vk::call_method<"narrow">(rows[i], 0, 0, n > 0 ? width - n + 1 : width);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Shallow fusion of two incremental scorers

using FusedInitArgs = vk::Args<"asr_scorer, lm_scorer, lm_weight">;
py::object fused_init(py::handle self, const FusedInitArgs& a) {
    const py::handle asr = a.get<"asr_scorer">();
    const py::handle lm = a.get<"lm_scorer">();
    if (!vkdomain::is_scorer(asr)) vk::raise_arg_type("asr_scorer", "incremental scorer (start, step, select)", asr);
    if (!vkdomain::is_scorer(lm)) vk::raise_arg_type("lm_scorer", "incremental scorer (start, step, select)", lm);
    const double weight = vkdomain::checked_weight(a.real<"lm_weight">(), "lm_weight");
    const bool log_probs = vkdomain::declares_log_probs(asr);
    std::optional<long long> max_len = vkdomain::declared_max_len(asr);
    if (const auto lm_len = vkdomain::declared_max_len(lm)) max_len = max_len ? std::min(*max_len, *lm_len) : *lm_len;
    vk::set_attr<"asr_scorer">(self, asr);
    vk::set_attr<"lm_scorer">(self, lm);
    vk::set_attr<"lm_weight">(self, py::float_(weight));
    vk::set_attr<"log_probs">(self, py::bool_(log_probs));
    vk::set_attr<"max_len">(self, max_len ? py::object(py::int_(*max_len)) : py::none());
    return py::none();
}

// asr + lm_weight * lm. Speech scores that are final log-scores (a joint CTC/attention scorer)
// take the language model's log-probabilities, so the sum stays a log-score.
py::object fuse(py::handle self, const py::object& asr, const py::object& lm, const char* method) {
    check_scores(asr, is_tensor(asr) && shape_of(asr).size() == 2 ? as_index(shape_of(asr)[0]) : -1, -1,
                 vk::text("asr_scorer.", method).c_str());
    if (!is_tensor(lm) || !shape_of(lm).equal(shape_of(asr)))
        throw py::value_error(vk::text("lm_scorer.", method, " returned scores of shape ",
                                       is_tensor(lm) ? shape_text(shape_of(lm)) : vk::type_name(lm), ", expected ",
                                       shape_text(shape_of(asr)), " as the speech model's"));
    const bool normalize = vk::truthy(vk::attr<"log_probs">(self)) && !vkdomain::declares_log_probs(vk::attr<"lm_scorer">(self));
    const py::object l = normalize ? vk::call_method<"log_softmax">(lm, -1) : lm;
    return vkdomain::weighted_sum(asr, 1.0, l, vk::to_float(vk::attr<"lm_weight">(self)));
}

py::object fused_start(py::handle self, const vk::Args<"x">& a) {
    const py::object asr = vk::call_method<"start">(vk::attr<"asr_scorer">(self), a.get<"x">());
    return fuse(self, asr, vk::call_method<"start">(vk::attr<"lm_scorer">(self), a.get<"x">()), "start");
}

py::object fused_step(py::handle self, const vk::Args<"tokens">& a) {
    const py::object asr = vk::call_method<"step">(vk::attr<"asr_scorer">(self), a.get<"tokens">());
    return fuse(self, asr, vk::call_method<"step">(vk::attr<"lm_scorer">(self), a.get<"tokens">()), "step");
}

py::object fused_select(py::handle self, const vk::Args<"rows">& a) {
    vk::call_method<"select">(vk::attr<"asr_scorer">(self), a.get<"rows">());
    vk::call_method<"select">(vk::attr<"lm_scorer">(self), a.get<"rows">());
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Constructor

template <class A>
py::object init(py::handle self, const A& a) {
    const py::object max_length = max_length_arg(a.template get<"max_length">());
    a.template text<"device">();
    vk::set_attr<"score_fn">(self, a.template get<"score_fn">());
    vk::set_attr<"tokenizer">(self, a.template get<"tokenizer">());
    vk::set_attr<"max_length">(self, max_length);
    vk::set_attr<"device">(self, a.template get<"device">());
    return py::none();
}

constexpr const char* kInitDoc =
    "Generator over score_fn and tokenizer (eos_id; pad_id, 0 when absent; num_classes == V). score_fn is either a "
    "callable (token ids (N, T) -> next-token logits (N, V), called on the whole prefix every step) or an incremental "
    "scorer (start(x), step(tokens), select(rows)). max_length is the longest total length, prompt included; "
    "generation also stops at score_fn's max_len. device is stored only, generation runs on the input's device.";
// The default device is fixed when the module is imported; the signature shows the one in force.
using InitCpuArgs = vk::Args<"score_fn, tokenizer, max_length, device='cpu'">;
using InitCudaArgs = vk::Args<"score_fn, tokenizer, max_length, device='cuda'">;
constexpr vk::Def kInitCpu{"__init__", init<InitCpuArgs>, kInitDoc};
constexpr vk::Def kInitCuda{"__init__", init<InitCudaArgs>, kInitDoc};

constexpr vk::Def kApplyRepeatPenalty{
    "_apply_repeat_penalty", apply_repeat_penalty,
    "Divides each row's logits of the tokens used in its sequence by penalty when positive and by 1 / penalty "
    "otherwise, in place; logits (B, V) with sequences (B, T), or (B, K, V) with (B, K, T). Returns logits."};
constexpr vk::Def kFilterLogits{"_filter_logits", filter_logits,
                                "Returns logits / temperature with entries below the k-th largest (top_k > 0) and outside the nucleus "
                                "(top_p < 1.0) set to -inf."};
constexpr vk::Def kGenerateGreedy{
    "generate_greedy", generate_greedy,
    "Extends x (B, T_in) with the most probable token until every row has emitted eos_id or max_length is "
    "reached. Returns (sequences (B, T_out), summed log-probabilities (B,)); finished rows are padded with pad_id."};
constexpr vk::Def kGenerateSample{"generate_sample", generate_sample,
                                  "As generate_greedy, but draws each token from the filtered distribution (temperature, top-k, nucleus)."};
constexpr vk::Def kGenerateBeam{"generate_beam", generate_beam,
                                "Beam search. Returns (sequences (B, beam_width, max_length), scores (B, beam_width)), best first in each "
                                "row; hypotheses shorter than max_length are padded with pad_id, empty slots are zeros with score -inf.\n"
                                "Scores are total log-probabilities; with length_penalty a > 0, finished and final hypotheses are ranked\n"
                                "by total / (generated tokens)^a, and that is the score returned (a = 1: mean per-token log-probability)."};
constexpr vk::Def kPostProcessSequence{
    "post_process_sequence", post_process_sequence,
    "Cuts seq after its first eos_id: a 1-D tensor gives a 1-D tensor, a 2-D tensor a list of 1-D tensors."};

constexpr const char* kClassDoc = "Greedy search, sampling and beam search over a next-token scoring function or an incremental scorer.";

constexpr vk::Def kFusedInit{"__init__", fused_init,
                             "Shallow fusion of two incremental scorers over one vocabulary: scores = asr + lm_weight * lm (raw "
                             "logits; the language model's log-probabilities when asr_scorer declares log_probs). lm_weight is a "
                             "finite number >= 0."};
constexpr vk::Def kFusedStart{"start", fused_start, "Starts both scorers from the prompt x (N, T) and returns the fused scores (N, V)."};
constexpr vk::Def kFusedStep{"step", fused_step, "Appends tokens (N,) in both scorers and returns the fused scores (N, V)."};
constexpr vk::Def kFusedSelect{"select", fused_select, "Reorders, repeats or drops the rows of both scorers: new row i = old row rows[i]."};

}  // namespace

PYBIND11_MODULE(maravex, m) {
    m.doc() = "Sequence generation: greedy search, sampling, beam search and end-of-sequence post-processing.";
    const bool cuda = vk::truthy(vk::call(vk::imported<"torch.cuda", "is_available">()));
    const py::handle object = vk::imported<"builtins", "object">();
    const py::object cls =
        cuda ? vk::define_class<kInitCuda, kApplyRepeatPenalty, kFilterLogits, kGenerateGreedy, kGenerateSample, kGenerateBeam>(
                   m, "SequenceGenerator", object, kClassDoc)
             : vk::define_class<kInitCpu, kApplyRepeatPenalty, kFilterLogits, kGenerateGreedy, kGenerateSample, kGenerateBeam>(
                   m, "SequenceGenerator", object, kClassDoc);
    vk::define_static_methods<kPostProcessSequence>(m, cls);
    vk::define_class<kFusedInit, kFusedStart, kFusedStep, kFusedSelect>(
        m, "FusedScorer", object, "Incremental scorer adding a language model's scores to a speech model's (shallow fusion).");
}
