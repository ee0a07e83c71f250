// Decoding with the speech model's CTC branch: best-path decoding, an incremental CTC prefix
// scorer, and a joint scorer that mixes attention and CTC scores for the sequence generator.
//
// Prefix scores follow the usual prefix-probability recursion over encoder frames. For a
// hypothesis g, r_n[t] and r_b[t] are the probabilities of the frames 0..t having produced g
// with the last frame on a label or on a blank; extending g by a label c gives
//     r_n'[t] = (r_n'[t-1] + phi[t-1]) x_t(c),   r_b'[t] = (r_b'[t-1] + r_n'[t-1]) x_t(blank),
// phi = r_n + r_b (only r_b when c repeats g's last label), and the prefix probability of g + c
// is the sum over t of phi[t-1] x_t(c). Both recursions are linear, so they are solved for all
// frames at once with cumulative sums and log-cumulative-sum-exps instead of a loop
// over frames, and the prefix probabilities of all hypotheses and labels come from one batched
// matrix product. The per-row bookkeeping (last labels, finished rows, which utterance a row
// belongs to) lives in C++.
#include <vk/common.hpp>
#include <vkdomain/scoring.hpp>

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
using vk::as_index;
using vk::is_tensor;
using vk::kw;

constexpr double kInf = std::numeric_limits<double>::infinity();
// Log-probabilities are floored here (a probability of e^-100000 is zero for any decoding), so
// the cumulative sums stay finite. float64 input is worked on in float64; anything else in float32,
// whose transcendental functions are far faster and whose rounding (about 1e-7 of a cumulative
// sum's magnitude) is far below what moves a beam.
constexpr double kLogFloor = -1.0e5;

py::handle float32() { return vk::imported<"torch", "float32">(); }
py::handle float64() { return vk::imported<"torch", "float64">(); }
py::handle int64() { return vk::imported<"torch", "int64">(); }
py::handle torch_fn_cat() { return vk::imported<"torch", "cat">(); }

std::vector<long long> shape_of(py::handle t) {
    const py::tuple s = py::reinterpret_borrow<py::tuple>(vk::attr<"shape">(t));
    std::vector<long long> out;
    for (const py::handle d : s) out.push_back(as_index(d));
    return out;
}

// A (T, B, V) floating tensor of log-probabilities, detached.
py::object checked_log_probs(py::handle log_probs) {
    if (!is_tensor(log_probs)) vk::raise_arg_type("log_probs", "Tensor", log_probs);
    if (shape_of(log_probs).size() != 3) throw py::value_error("log_probs must be 3-dimensional (T, B, V), time first");
    if (!vk::truthy(vk::call_method<"is_floating_point">(log_probs)))
        throw py::type_error("log_probs must be a floating-point tensor, got " + py::str(vk::attr<"dtype">(log_probs)).cast<std::string>());
    return vk::call_method<"detach">(log_probs);
}

// Per-utterance frame counts: None (all `frames`), or B integers between 0 and `frames`.
std::vector<long long> checked_lengths(py::handle lengths, long long batch, long long frames) {
    std::vector<long long> out(static_cast<std::size_t>(batch), frames);
    if (lengths.is_none()) return out;
    const py::object t = vk::call(vk::imported<"torch", "as_tensor">(), lengths);
    if (vk::truthy(vk::call_method<"is_floating_point">(t)) || vk::truthy(vk::call_method<"is_complex">(t)) ||
        vk::attr<"dtype">(t).is(vk::imported<"torch", "bool">()))
        throw py::type_error("lengths must hold integers, got " + py::str(vk::attr<"dtype">(t)).cast<std::string>());
    const vk::HostValues host(vk::call_method<"reshape">(vk::call_method<"to">(t, int64()), -1));
    if (host.size() != static_cast<std::size_t>(batch))
        throw py::value_error(
            vk::text("lengths must hold one value per utterance (", batch, "), got ", static_cast<long long>(host.size())));
    for (std::size_t b = 0; b < out.size(); ++b) {
        const long long n = host.integer(b);
        if (n < 0 || n > frames)
            throw py::value_error(vk::text("lengths must be between 0 and ", frames, " (the frames of log_probs), got ", n));
        out[b] = n;
    }
    return out;
}

long long checked_id(py::handle v, const char* arg, long long vocab) {
    const long long id = vk::exact_int(v, arg);
    if (id < 0 || id >= vocab) throw py::value_error(vk::text(arg, " must be a class index below ", vocab, ", got ", id));
    return id;
}

py::object long_tensor(const std::vector<long long>& values, py::handle device) {
    return vk::call(vk::imported<"torch", "tensor">(), py::cast(values), kw<"dtype">(int64()), kw<"device">(device));
}

// ---------------------------------------------------------------------------------------------
// Best path

// The most probable label per frame, repeats collapsed and blanks dropped; the score is the
// log-probability of that frame path.
using BestPathArgs = vk::Args<"log_probs, lengths=None, blank=0">;
py::object best_path(py::handle, const BestPathArgs& a) {
    const py::object log_probs = checked_log_probs(a.get<"log_probs">());
    const std::vector<long long> shape = shape_of(log_probs);
    const long long frames = shape[0], batch = shape[1], vocab = shape[2];
    const std::vector<long long> lengths = checked_lengths(a.get<"lengths">(), batch, frames);
    if (vocab == 0) throw py::value_error("log_probs has no classes");
    const long long blank = checked_id(a.get<"blank">(), "blank", vocab);

    // Batch-major copies of the per-frame maxima, read once on the host.
    const auto [values, ids] = vk::unpack<2>(vk::call_method<"max">(log_probs, kw<"dim">(-1)));
    const vk::HostValues best(vk::call_method<"contiguous">(vk::call_method<"t">(vk::call_method<"to">(values, float64()))));
    const vk::HostValues labels(vk::call_method<"contiguous">(vk::call_method<"t">(ids)));
    const auto cells = static_cast<std::size_t>(frames * batch);
    if (best.size() != cells || labels.size() != cells) throw std::runtime_error("best path: unexpected size of the frame maxima");

    py::list hypotheses(static_cast<std::size_t>(batch));
    std::vector<double> scores(static_cast<std::size_t>(batch), 0.0);
    for (long long b = 0; b < batch; ++b) {
        std::vector<long long> out;
        long long previous = -1;
        double score = 0.0;
        for (long long t = 0; t < lengths[static_cast<std::size_t>(b)]; ++t) {
            const auto at = static_cast<std::size_t>(b * frames + t);
            const long long label = labels.integer(at);
            score += best[at];
            if (label != blank && label != previous) out.push_back(label);
            previous = label;
        }
        hypotheses[static_cast<std::size_t>(b)] = py::cast(out);
        scores[static_cast<std::size_t>(b)] = score;
    }
    const py::object dtype = vk::attr<"dtype">(log_probs).is(float64()) ? py::reinterpret_borrow<py::object>(float64())
                                                                        : py::reinterpret_borrow<py::object>(float32());
    return py::make_tuple(hypotheses, vk::call(vk::imported<"torch", "tensor">(), py::cast(scores), kw<"dtype">(dtype)));
}

// ---------------------------------------------------------------------------------------------
// Frames needed for an alignment

// A label sequence needs one frame per label plus a blank between each pair of equal neighbours.
long long needed_frames(py::handle target) {
    if (PyList_CheckExact(target.ptr()) || PyTuple_CheckExact(target.ptr())) {
        const py::sequence items = py::reinterpret_borrow<py::sequence>(target);
        long long need = 0, previous = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const long long id = as_index(items[i]);
            need += (i > 0 && id == previous) ? 2 : 1;
            previous = id;
        }
        return need;
    }
    const py::object flat = is_tensor(target) ? vk::call_method<"reshape">(vk::call_method<"to">(target, int64()), -1)
                                              : vk::call(vk::imported<"torch", "as_tensor">(), target, kw<"dtype">(int64()));
    const vk::HostValues host(vk::call_method<"reshape">(flat, -1));
    long long need = static_cast<long long>(host.size());
    for (std::size_t i = 1; i < host.size(); ++i)
        if (host.integer(i) == host.integer(i - 1)) ++need;
    return need;
}

using CountArgs = vk::Args<"frames, targets">;
py::object count_unalignable(py::handle, const CountArgs& a) {
    const py::object frames = vk::call(vk::imported<"torch", "as_tensor">(), a.get<"frames">());
    const vk::HostValues host(vk::call_method<"reshape">(vk::call_method<"to">(frames, int64()), -1));
    const py::list targets = vk::call(vk::imported<"builtins", "list">(), a.get<"targets">());
    if (targets.size() != host.size())
        throw py::value_error(vk::text("frames and targets must have the same length, got ", static_cast<long long>(host.size()), " and ",
                                       static_cast<long long>(targets.size())));
    long long count = 0;
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (host.integer(i) < needed_frames(targets[i])) ++count;
    return py::int_(count);
}

// ---------------------------------------------------------------------------------------------
// CTC prefix scorer

struct PrefixState {
    long long frames = 0, batch = 0, vocab = 0;
    long long blank = 0, eos = 0, sos = -1;
    bool eos_is_label = true;
    std::vector<long long> lengths;
    py::object device;
    py::object out_dtype;   // float64 for float64 input, else float32: also the dtype of all the work
    double cutoff = 0.0;    // scaled factors below e^-cutoff are dropped (see prefix_scores)
    py::object x_flat;      // (B * V, T): row b * V + c holds utterance b's log-probabilities of c
    py::object e_table;     // (B, T, V): exp(x - x_max), the factors of the batched product
    py::object x_max;       // (B, V): per utterance and class the largest log-probability
    py::object blank_cum;   // (B, T): cumulative blank log-probabilities
    py::object eos_weight;  // (B, T): log probability of ending with eos from frame u on (see eos_weights)
    py::object banned;      // class ids that never extend a prefix (blank, sos)

    // Rows (hypotheses): host bookkeeping, and on the device phi and r_b shifted one frame later
    // (phi_prev[t] = phi[t-1]), -inf past each utterance's end, which is all a step needs.
    std::vector<long long> batch_of, last;  // last label, -1 for the empty prefix
    std::vector<char> dead;                 // prefix impossible or ended: every extension scores -inf
    py::object phi_prev, rb_prev;           // (N, T)
    py::object full = py::none();           // (N, 1) log probability of exactly the row's labels (eos not a label)
    py::object psi;                         // (N,) log prefix probability of the row
    py::object psi_all = py::none();        // (N, V) that of each extension (eos: the whole), None when stale
    bool started = false;

    // Derived from batch_of, rebuilt when it changes.
    std::vector<long long> mapped;
    bool mapped_valid = false;
    long long group = 0;  // K when row n belongs to utterance n / K for all n, else 0
    py::object blank_rows, blank_next, beyond, end_index, eos_weight_rows, zero_length, neg_inf_column;
    py::object e_rows, x_max_rows;  // only when not grouped

    // A step's host-side plan, uploaded in two copies, and views of it on the device.
    std::unique_ptr<vk::Staging<std::int64_t>> index_plan;  // token rows, token ids, last-label rows, last-label ids
    std::unique_ptr<vk::Staging<std::uint8_t>> flag_plan;   // same label, ended, empty prefix, kept (prompt sos)
    py::object token_rows, token_ids, last_rows, last_ids, same, ended, empty, kept;
    bool any_last = false, any_ended = false, any_kept = false;

    std::size_t rows() const { return batch_of.size(); }
};

constexpr const char* kCapsuleName = "velkor.decoding.ctc.PrefixState";

// The state and the capsule that owns it, held together for the whole call.
struct Held {
    py::object capsule;
    PrefixState* state;
};

Held held_state(py::handle self) {
    py::object capsule = vk::attr<"_state">(self);
    void* p = PyCapsule_GetPointer(capsule.ptr(), kCapsuleName);
    if (p == nullptr) throw py::error_already_set();
    return {std::move(capsule), static_cast<PrefixState*>(p)};
}

py::object cat(py::handle a, py::handle b, long long dim) { return vk::call(torch_fn_cat(), py::make_tuple(a, b), kw<"dim">(dim)); }

py::object narrow(py::handle t, long long dim, long long start, long long length) {
    return vk::call_method<"narrow">(t, dim, start, length);
}

py::object logaddexp(py::handle a, py::handle b) { return vk::call(vk::imported<"torch", "logaddexp">(), a, b); }

py::object logsumexp_rows(py::handle t, bool keepdim) {
    return vk::call(vk::imported<"torch", "logsumexp">(), t, 1, kw<"keepdim">(keepdim));
}

// (N, T) values one frame later: `first` (N, 1) in front, the last frame dropped.
py::object shift(const PrefixState& s, py::handle values, py::handle first) { return cat(first, narrow(values, 1, 0, s.frames - 1), 1); }

// A view of plan row k as an (N, 1) column.
py::object plan_column(py::handle plan, long long k) { return vk::call_method<"view">(vk::call_method<"select">(plan, 0, k), -1, 1); }

void rebuild_rows(PrefixState& s) {
    if (s.mapped_valid && s.mapped == s.batch_of) return;
    const std::size_t n = s.rows();
    s.group = 0;
    if (s.batch > 0 && n > 0 && n % static_cast<std::size_t>(s.batch) == 0) {
        const auto k = static_cast<long long>(n) / s.batch;
        bool grouped = true;
        for (std::size_t i = 0; i < n && grouped; ++i) grouped = s.batch_of[i] == static_cast<long long>(i) / k;
        if (grouped) s.group = k;
    }
    const py::object rows = long_tensor(s.batch_of, s.device);
    s.blank_rows = vk::call_method<"index_select">(s.blank_cum, 0, rows);
    s.blank_next = narrow(s.blank_rows, 1, 1, s.frames - 1);
    std::vector<long long> lengths(n), ends(n);
    bool any_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        lengths[i] = s.lengths[static_cast<std::size_t>(s.batch_of[i])];
        ends[i] = std::max(lengths[i] - 1, 0LL);
        any_zero = any_zero || lengths[i] == 0;
    }
    const py::object row_lengths = long_tensor(lengths, s.device);
    const py::object positions = vk::call(vk::imported<"torch", "arange">(), s.frames, kw<"device">(s.device));
    s.beyond = vk::call_method<"ge">(vk::call_method<"unsqueeze">(positions, 0), vk::call_method<"unsqueeze">(row_lengths, 1));
    s.end_index = vk::call_method<"unsqueeze">(long_tensor(ends, s.device), 1);
    s.eos_weight_rows = s.eos_is_label ? vk::call_method<"index_select">(s.eos_weight, 0, rows) : py::none();
    s.zero_length = any_zero ? vk::call_method<"unsqueeze">(vk::call_method<"eq">(row_lengths, 0), 1) : py::none();
    s.neg_inf_column =
        vk::call(vk::imported<"torch", "full">(), py::make_tuple(n, 1), -kInf, kw<"dtype">(s.out_dtype), kw<"device">(s.device));
    if (s.group == 0) {
        s.e_rows = vk::call_method<"index_select">(s.e_table, 0, rows);
        s.x_max_rows = vk::call_method<"index_select">(s.x_max, 0, rows);
    } else {
        s.e_rows = py::none();
        s.x_max_rows = py::none();
    }
    if (!s.index_plan || s.mapped.size() != n) {
        const bool cpu = py::str(vk::attr<"type">(s.device)).cast<std::string>() == "cpu";
        s.index_plan = std::make_unique<vk::Staging<std::int64_t>>(py::make_tuple(4, n), int64(), s.device, cpu);
        s.flag_plan = std::make_unique<vk::Staging<std::uint8_t>>(py::make_tuple(4, n), vk::imported<"torch", "uint8">(), s.device, cpu);
        const py::object indices = s.index_plan->target();
        s.token_rows = vk::call_method<"select">(indices, 0, 0);
        s.token_ids = plan_column(indices, 1);
        s.last_rows = vk::call_method<"select">(indices, 0, 2);
        s.last_ids = plan_column(indices, 3);
        const py::object flags = vk::call_method<"view">(s.flag_plan->target(), vk::imported<"torch", "bool">());
        s.same = plan_column(flags, 0);
        s.ended = plan_column(flags, 1);
        s.empty = plan_column(flags, 2);
        s.kept = plan_column(flags, 3);
    }
    s.mapped = s.batch_of;
    s.mapped_valid = true;
}

// Fills the plan's rows that describe the prefixes as they now are (after this step's tokens),
// then uploads the plan.
void upload_plan(PrefixState& s) {
    const std::size_t n = s.rows();
    vk::Staging<std::int64_t>& index = *s.index_plan;
    vk::Staging<std::uint8_t>& flags = *s.flag_plan;
    s.any_last = false;
    for (std::size_t i = 0; i < n; ++i) {
        const long long c = s.last[i] >= 0 ? s.last[i] : s.eos;  // the eos column is overwritten anyway
        index[2 * n + i] = s.batch_of[i] * s.vocab + c;
        index[3 * n + i] = c;
        flags[2 * n + i] = s.last[i] < 0 && !s.dead[i];
        s.any_last = s.any_last || s.last[i] >= 0;
    }
    index.upload();
    flags.upload();
}

// phi_prev and rb_prev (and the full probability) from r_n and r_b of the rows' prefixes.
void refresh(PrefixState& s, py::handle rn, py::handle rb) {
    const py::object phi = logaddexp(rn, rb);
    // Before the first frame the empty prefix has probability 1, any other 0.
    const py::object start = vk::call_method<"masked_fill">(s.neg_inf_column, s.empty, 0.0);
    s.phi_prev = vk::call_method<"masked_fill_">(shift(s, phi, start), s.beyond, -kInf);
    s.rb_prev = vk::call_method<"masked_fill_">(shift(s, rb, s.neg_inf_column), s.beyond, -kInf);
    if (!s.eos_is_label) {
        s.full = vk::call_method<"gather">(phi, 1, s.end_index);
        // Without frames, only the empty prefix is the whole output.
        if (!s.zero_length.is_none()) s.full = vk::call(vk::imported<"torch", "where">(), s.zero_length, start, s.full);
    }
}

// Appends tokens (read at offset + i * stride) to the rows. In a prompt, sos tokens leave their
// row as it is. Blank, eos, sos and out-of-range ids end the prefix: it scores -inf from then on.
void advance(PrefixState& s, const vk::HostValues& tokens, std::size_t offset, std::size_t stride, bool prompt) {
    rebuild_rows(s);
    const std::size_t n = s.rows();
    vk::Staging<std::int64_t>& index = *s.index_plan;
    vk::Staging<std::uint8_t>& flags = *s.flag_plan;
    s.any_ended = s.any_kept = false;
    for (std::size_t i = 0; i < n; ++i) {
        const long long c = tokens.integer(offset + i * stride);
        const long long row = s.batch_of[i] * s.vocab;
        const bool keep = prompt && c == s.sos;
        const bool label = c >= 0 && c < s.vocab && c != s.blank && c != s.eos && c != s.sos;
        if (!keep && (s.dead[i] || !label)) s.dead[i] = 1;
        const bool live = !keep && !s.dead[i];
        flags[i] = live && c == s.last[i];
        flags[n + i] = s.dead[i];
        flags[3 * n + i] = keep;
        index[i] = live ? row + c : row;
        index[n + i] = live ? c : 0;
        if (live) s.last[i] = c;
        s.any_ended = s.any_ended || s.dead[i];
        s.any_kept = s.any_kept || keep;
    }
    upload_plan(s);

    // r_n'[t] = C[t] + logcumsumexp_s(phi_prev[s] - C[s-1]), C the running sum of the label's
    // log-probabilities; r_b'[t] = B[t] + logcumsumexp_{s<t}(r_n'[s] - B[s]), B that of the blank.
    const py::object source = vk::call(vk::imported<"torch", "where">(), s.same, s.rb_prev, s.phi_prev);
    const py::object x = vk::call_method<"index_select">(s.x_flat, 0, s.token_rows);
    const py::object c = vk::call_method<"cumsum">(x, 1);
    const py::handle logcumsumexp = vk::imported<"torch", "logcumsumexp">();
    const py::object scan = vk::call(logcumsumexp, vk::call_method<"sub">(source, vk::call_method<"sub">(c, x)), 1);
    const py::object rn = vk::add(c, scan);
    const py::object blank_scan = vk::call(logcumsumexp, vk::call_method<"sub">(rn, s.blank_rows), 1);
    const py::object rb = cat(s.neg_inf_column, vk::add(s.blank_next, narrow(blank_scan, 1, 0, s.frames - 1)), 1);

    // The extension's prefix probability was part of the last scores; before any (a prompt) it
    // is the sum over frames of phi_prev x.
    py::object psi = s.psi_all.is_none() ? logsumexp_rows(vk::add(source, x), false)
                                         : vk::call_method<"squeeze">(vk::call_method<"gather">(s.psi_all, 1, s.token_ids), 1);
    if (s.any_ended) psi = vk::call_method<"masked_fill">(psi, vk::call_method<"squeeze">(s.ended, 1), -kInf);

    const py::object old_phi = s.phi_prev, old_rb = s.rb_prev, old_full = s.full, old_psi = s.psi;
    refresh(s, rn, rb);
    if (s.any_kept) {
        const py::handle where = vk::imported<"torch", "where">();
        s.phi_prev = vk::call(where, s.kept, old_phi, s.phi_prev);
        s.rb_prev = vk::call(where, s.kept, old_rb, s.rb_prev);
        if (!s.eos_is_label) s.full = vk::call(where, s.kept, old_full, s.full);
        psi = vk::call(where, vk::call_method<"squeeze">(s.kept, 1), old_psi, psi);
    }
    s.psi = psi;
    s.psi_all = py::none();
}

// Next-token scores (N, V): log prefix probability of each extension minus that of the row's
// prefix; eos scores the whole hypothesis, blank and sos can never be emitted.
py::object prefix_scores(PrefixState& s) {
    const long long rows = static_cast<long long>(s.rows());
    // Prefix probabilities of every label: sum_t exp(phi_prev[t]) x_t(c), as a matrix product of
    // values scaled by their maxima. Factors below e^-cutoff are dropped, so no product is
    // subnormal (which would slow the product down many times over). What that drops is below
    // T e^-cutoff of the row's prefix probability (phi[t] never exceeds it): only extensions
    // scoring below log(T) - cutoff, hopeless ones, can be affected.
    const py::object top = vk::call(vk::imported<"torch", "nan_to_num">(),
                                    vk::call(vk::imported<"torch", "amax">(), s.phi_prev, 1, kw<"keepdim">(true)), kw<"neginf">(0.0));
    const py::object scaled =
        vk::call(vk::imported<"torch.nn.functional", "threshold">(), vk::call_method<"sub">(s.phi_prev, top), -s.cutoff, -kInf);
    const py::object weights = vk::call_method<"exp_">(scaled);
    py::object psi;
    if (s.group > 0) {
        const py::object product =
            vk::call(vk::imported<"torch", "bmm">(), vk::call_method<"view">(weights, s.batch, s.group, s.frames), s.e_table);
        psi = vk::call_method<"view">(vk::call_method<"add_">(vk::call_method<"log_">(product), vk::call_method<"unsqueeze">(s.x_max, 1)),
                                      rows, s.vocab);
    } else {
        const py::object product = vk::call(vk::imported<"torch", "bmm">(), vk::call_method<"unsqueeze">(weights, 1), s.e_rows);
        psi = vk::call_method<"add_">(vk::call_method<"log_">(vk::call_method<"squeeze">(product, 1)), s.x_max_rows);
    }
    vk::call_method<"add_">(psi, top);

    // A label repeating the prefix's last one must be separated from it by a blank: sum over
    // frames of r_b[t-1] x_t(c). The end: the full probability of the labels, followed by eos
    // when it is a CTC label (linear in phi_prev with per-utterance weights). Both are sums over
    // frames, taken in one reduction when both are needed.
    py::object same = py::none(), full = s.full;
    if (s.any_last) same = vk::add(s.rb_prev, vk::call_method<"index_select">(s.x_flat, 0, s.last_rows));
    if (s.eos_is_label) full = vk::add(s.phi_prev, s.eos_weight_rows);
    if (!same.is_none() && s.eos_is_label) {
        const py::object both = vk::call(vk::imported<"torch", "logsumexp">(),
                                         vk::call(vk::imported<"torch", "stack">(), py::make_tuple(same, full)), 2, kw<"keepdim">(true));
        same = vk::call_method<"select">(both, 0, 0);
        full = vk::call_method<"select">(both, 0, 1);
    } else {
        if (!same.is_none()) same = logsumexp_rows(same, true);
        if (s.eos_is_label) full = logsumexp_rows(full, true);
    }
    if (!same.is_none()) vk::call_method<"scatter_">(psi, 1, s.last_ids, same);
    vk::call_method<"copy_">(vk::call_method<"narrow">(psi, 1, s.eos, 1), full);
    vk::call_method<"index_fill_">(psi, 1, s.banned, -kInf);
    s.psi_all = psi;

    const py::object base = vk::call_method<"unsqueeze">(s.psi, 1);
    py::object scores = vk::call_method<"sub">(psi, base);
    return vk::call_method<"masked_fill_">(scores, vk::call(vk::imported<"torch", "isneginf">(), base), -kInf);
}

// Per utterance b and frame u, the log probability of the frames u..T_b-1 spelling eos: one or
// more eos frames from u on, then blanks to the end. The full probability of g followed by eos
// is then the sum over u of phi_prev[u] times it. Computed once, on the host, in double.
py::object eos_weights(const PrefixState& s, py::handle x) {
    const py::object columns = vk::call(vk::imported<"torch", "stack">(),
                                        py::make_tuple(vk::call_method<"select">(x, 2, s.eos), vk::call_method<"select">(x, 2, s.blank)));
    const vk::HostValues host(vk::call_method<"contiguous">(vk::call_method<"to">(columns, float64())));  // (2, B, T)
    const auto plane = static_cast<std::size_t>(s.batch * s.frames);
    if (host.size() != 2 * plane) throw std::runtime_error("eos weights: unexpected size");
    const auto log_add = [](double a, double b) {
        if (a == -kInf) return b;
        if (b == -kInf) return a;
        return std::max(a, b) + std::log1p(std::exp(-std::abs(a - b)));
    };
    std::vector<double> weights(plane, -kInf);
    for (long long b = 0; b < s.batch; ++b) {
        const std::size_t row = static_cast<std::size_t>(b * s.frames);
        double after = -kInf, blanks = 0.0;  // eos runs and all-blank runs from u + 1 to the end
        for (long long u = s.lengths[static_cast<std::size_t>(b)] - 1; u >= 0; --u) {
            const std::size_t at = row + static_cast<std::size_t>(u);
            weights[at] = host[at] + log_add(after, blanks);
            after = weights[at];
            blanks += host[plane + at];
        }
    }
    return vk::call_method<"view">(
        vk::call(vk::imported<"torch", "tensor">(), py::cast(weights), kw<"dtype">(s.out_dtype), kw<"device">(s.device)), s.batch,
        s.frames);
}

py::object prefix_init(py::handle self, const vk::Args<"log_probs, lengths, tokenizer, eos_is_label=True">& a) {
    py::object log_probs = checked_log_probs(a.get<"log_probs">());
    const std::vector<long long> shape = shape_of(log_probs);
    auto state = std::make_unique<PrefixState>();
    PrefixState& s = *state;
    s.frames = shape[0];
    s.batch = shape[1];
    s.vocab = shape[2];
    if (s.vocab == 0) throw py::value_error("log_probs has no classes");
    s.lengths = checked_lengths(a.get<"lengths">(), s.batch, s.frames);
    const py::handle tokenizer = a.get<"tokenizer">();
    s.blank = vk::has_attr<"pad_id">(tokenizer) ? checked_id(vk::attr<"pad_id">(tokenizer), "pad_id", s.vocab) : 0;
    s.eos = checked_id(vk::attr<"eos_id">(tokenizer), "eos_id", s.vocab);
    if (vk::has_attr<"sos_id">(tokenizer)) s.sos = checked_id(vk::attr<"sos_id">(tokenizer), "sos_id", s.vocab);
    if (s.eos == s.blank) throw py::value_error("eos_id must differ from the blank (pad_id)");
    if (s.sos == s.blank || s.sos == s.eos) s.sos = -1;
    s.eos_is_label = a.flag<"eos_is_label">();
    s.device = vk::attr<"device">(log_probs);
    const bool wide = vk::attr<"dtype">(log_probs).is(float64());
    s.out_dtype = py::reinterpret_borrow<py::object>(wide ? float64() : float32());
    // Products of two factors above e^-cutoff stay normal numbers: e^-86 in float32, e^-700 in float64.
    s.cutoff = wide ? 350.0 : 43.0;
    s.banned = long_tensor(s.sos >= 0 ? std::vector<long long>{s.blank, s.sos} : std::vector<long long>{s.blank}, s.device);

    // Without frames every utterance is empty; one padding frame keeps the shapes non-empty.
    py::object x = vk::call_method<"to">(log_probs, s.out_dtype);
    if (s.frames == 0) {
        x = vk::call(vk::imported<"torch", "zeros">(), 1, s.batch, s.vocab, kw<"dtype">(s.out_dtype), kw<"device">(s.device));
        s.frames = 1;
    }
    // Batch-major (B, T, V); frames past an utterance's end are log 1, which keeps every sum finite
    // (those frames are masked out wherever they could matter).
    x = vk::call_method<"clamp">(vk::call_method<"contiguous">(vk::call_method<"transpose">(x, 0, 1)), kw<"min">(kLogFloor));
    const py::object positions = vk::call(vk::imported<"torch", "arange">(), s.frames, kw<"device">(s.device));
    const py::object beyond = vk::call_method<"ge">(vk::call_method<"unsqueeze">(positions, 0),
                                                    vk::call_method<"unsqueeze">(long_tensor(s.lengths, s.device), 1));  // (B, T)
    x = vk::call_method<"masked_fill">(x, vk::call_method<"unsqueeze">(beyond, 2), 0.0);
    s.x_flat = vk::call_method<"reshape">(vk::call_method<"transpose">(x, 1, 2), s.batch * s.vocab, s.frames);
    const py::object valid = vk::call_method<"masked_fill">(x, vk::call_method<"unsqueeze">(beyond, 2), kLogFloor);
    s.x_max = vk::call(vk::imported<"torch", "amax">(), valid, 1);  // (B, V)
    // Frames past the end get the floor, so no factor exceeds 1 (their weights are 0 anyway).
    s.e_table = vk::call_method<"exp">(vk::call(vk::imported<"torch.nn.functional", "threshold">(),
                                                vk::call_method<"sub">(valid, vk::call_method<"unsqueeze">(s.x_max, 1)), -s.cutoff, -kInf));
    s.blank_cum = vk::call_method<"cumsum">(vk::call_method<"select">(x, 2, s.blank), 1);
    if (s.eos_is_label) s.eos_weight = eos_weights(s, x);

    vk::set_attr<"blank">(self, py::int_(s.blank));
    vk::set_attr<"eos">(self, py::int_(s.eos));
    vk::set_attr<"eos_is_label">(self, py::bool_(s.eos_is_label));
    vk::set_attr<"log_probs">(self, py::bool_(true));
    vk::set_attr<"_state">(self, py::capsule(state.release(), kCapsuleName, [](PyObject* o) {
                               const std::unique_ptr<PrefixState> owned(static_cast<PrefixState*>(PyCapsule_GetPointer(o, kCapsuleName)));
                           }));
    return py::none();
}

py::object prefix_start(py::handle self, const vk::Args<"x">& a) {
    const Held held = held_state(self);
    PrefixState& s = *held.state;
    const py::handle x = a.get<"x">();
    if (!is_tensor(x)) vk::raise_arg_type("x", "Tensor", x);
    const std::vector<long long> shape = shape_of(x);
    if (shape.size() != 2) throw py::value_error("x must be 2-dimensional (rows, prompt length)");
    const long long rows = shape[0], width = shape[1];
    if (s.batch == 0 ? rows != 0 : rows % s.batch != 0)
        throw py::value_error(vk::text("x has ", rows, " rows for ", s.batch, " utterances; the count must be a multiple of it"));
    const long long per = s.batch == 0 ? 1 : rows / s.batch;
    const auto n = static_cast<std::size_t>(rows);
    s.batch_of.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i) s.batch_of[i] = static_cast<long long>(i) / per;
    s.last.assign(n, -1);
    s.dead.assign(n, 0);
    s.started = false;
    rebuild_rows(s);
    upload_plan(s);
    // The empty prefix: no label yet, blanks only.
    refresh(
        s,
        vk::call(vk::imported<"torch", "full">(), py::make_tuple(rows, s.frames), -kInf, kw<"dtype">(s.out_dtype), kw<"device">(s.device)),
        s.blank_rows);
    s.psi = vk::call(vk::imported<"torch", "zeros">(), rows, kw<"dtype">(s.out_dtype), kw<"device">(s.device));
    s.psi_all = py::none();
    if (width > 0 && rows > 0) {
        const vk::HostValues prompt(vk::call_method<"contiguous">(vk::call_method<"to">(x, int64())));
        if (prompt.size() != static_cast<std::size_t>(rows * width)) throw std::runtime_error("prompt: unexpected size");
        for (long long j = 0; j < width; ++j) advance(s, prompt, static_cast<std::size_t>(j), static_cast<std::size_t>(width), true);
    }
    s.started = true;
    return prefix_scores(s);
}

void require_started(const PrefixState& s) {
    if (!s.started) throw py::value_error("start() must be called before step() or select()");
}

py::object prefix_step(py::handle self, const vk::Args<"tokens">& a) {
    const Held held = held_state(self);
    PrefixState& s = *held.state;
    require_started(s);
    const py::handle tokens = a.get<"tokens">();
    if (!is_tensor(tokens)) vk::raise_arg_type("tokens", "Tensor", tokens);
    const vk::HostValues host(vk::call_method<"reshape">(vk::call_method<"to">(tokens, int64()), -1));
    if (host.size() != s.rows())
        throw py::value_error(vk::text("tokens must hold one id per row (", static_cast<long long>(s.rows()), "), got ",
                                       static_cast<long long>(host.size())));
    advance(s, host, 0, 1, false);
    return prefix_scores(s);
}

py::object prefix_select(py::handle self, const vk::Args<"rows">& a) {
    const Held held = held_state(self);
    PrefixState& s = *held.state;
    require_started(s);
    const py::handle rows = a.get<"rows">();
    if (!is_tensor(rows)) vk::raise_arg_type("rows", "Tensor", rows);
    const py::object index = vk::call_method<"reshape">(vk::call_method<"to">(rows, int64()), -1);
    const vk::HostValues host(index);
    const std::size_t n = s.rows();
    std::vector<long long> batch_of(host.size()), last(host.size());
    std::vector<char> dead(host.size());
    for (std::size_t i = 0; i < host.size(); ++i) {
        const long long r = host.integer(i);
        if (r < 0 || static_cast<std::size_t>(r) >= n)
            throw py::value_error(vk::text("rows must index the current ", static_cast<long long>(n), " rows, got ", r));
        batch_of[i] = s.batch_of[static_cast<std::size_t>(r)];
        last[i] = s.last[static_cast<std::size_t>(r)];
        dead[i] = s.dead[static_cast<std::size_t>(r)];
    }
    const py::object device_index = vk::call_method<"to">(index, s.device);
    const auto pick = [&](const py::object& t) { return t.is_none() ? t : vk::call_method<"index_select">(t, 0, device_index); };
    s.phi_prev = pick(s.phi_prev);
    s.rb_prev = pick(s.rb_prev);
    s.full = pick(s.full);
    s.psi = pick(s.psi);
    s.psi_all = pick(s.psi_all);
    s.batch_of = std::move(batch_of);
    s.last = std::move(last);
    s.dead = std::move(dead);
    return py::none();
}

py::object prefix_prefix_scores(py::handle self, const vk::Args<"">&) {
    const Held held = held_state(self);
    require_started(*held.state);
    return vk::call_method<"clone">(held.state->psi);
}

// ---------------------------------------------------------------------------------------------
// Joint scorer

constexpr const char* kAttentionCapsule = "velkor.decoding.ctc.JointScorer.attention";

// The attention side seen through the incremental protocol (a plain callable keeps its prefixes
// there), and the capsule that owns it, held together for the whole call.
struct HeldAttention {
    py::object capsule;
    vkdomain::Scores* scores;
};

HeldAttention held_attention(py::handle self) {
    py::object capsule = vk::attr<"_attention">(self);
    void* p = PyCapsule_GetPointer(capsule.ptr(), kAttentionCapsule);
    if (p == nullptr) throw py::error_already_set();
    return {std::move(capsule), static_cast<vkdomain::Scores*>(p)};
}

py::object joint_init(py::handle self, const vk::Args<"attention, ctc, ctc_weight=0.3">& a) {
    const py::handle attention = a.get<"attention">();
    const py::handle ctc = a.get<"ctc">();
    const double weight = vkdomain::checked_weight(a.real<"ctc_weight">(), "ctc_weight", 1.0);
    if (!vkdomain::is_scorer(attention) && !PyCallable_Check(attention.ptr()))
        throw py::type_error("attention must be a scorer (start, step, select) or a callable returning next-token logits");
    if (!vkdomain::is_scorer(ctc)) throw py::type_error("ctc must be a scorer with start, step and select, such as CTCPrefixScorer");
    // The longest prefix the attention side can score, so that the generator stops there.
    const py::object max_len = vkdomain::as_object(vkdomain::max_len_of(attention));
    auto scores = std::make_unique<vkdomain::Scores>(py::reinterpret_borrow<py::object>(attention));
    vk::set_attr<"attention">(self, attention);
    vk::set_attr<"ctc">(self, ctc);
    vk::set_attr<"ctc_weight">(self, py::float_(weight));
    vk::set_attr<"log_probs">(self, py::bool_(true));
    vk::set_attr<"max_len">(self, max_len);
    vk::set_attr<"_attention">(
        self, py::capsule(scores.release(), kAttentionCapsule, [](PyObject* o) {
            const std::unique_ptr<vkdomain::Scores> owned(static_cast<vkdomain::Scores*>(PyCapsule_GetPointer(o, kAttentionCapsule)));
        }));
    return py::none();
}

double weight_of(py::handle self) { return vk::to_float(vk::attr<"ctc_weight">(self)); }

py::object checked_scores(py::handle scores, const char* who, long long rows) {
    if (!is_tensor(scores)) throw py::type_error(std::string(who) + " scores must be a tensor, got " + vk::type_name(scores));
    const std::vector<long long> shape = shape_of(scores);
    if (shape.size() != 2 || shape[0] != rows)
        throw py::value_error(vk::text(who, " scores must have shape (", rows, ", V), got ", py::str(vk::attr<"shape">(scores))));
    return py::reinterpret_borrow<py::object>(scores);
}

// (1 - w) x attention log-probabilities (a scorer's log-scores as they are, logits through
// log_softmax) + w x CTC scores. A weight of 0 leaves the CTC side out, a weight of 1 the
// attention side.
py::object combine(py::handle self, const vkdomain::Scores& attention, py::handle att_scores, py::handle ctc_scores, long long rows) {
    const double w = weight_of(self);
    py::object att = py::none(), ctc = py::none();
    if (w < 1.0) {
        att = checked_scores(att_scores, "attention", rows);
        if (!(attention.incremental() && attention.log_probs())) att = vk::call_method<"log_softmax">(att, -1);
    }
    if (w > 0.0) ctc = checked_scores(ctc_scores, "ctc", rows);
    if (w > 0.0 && w < 1.0 && shape_of(att) != shape_of(ctc))
        throw py::value_error(vk::text("attention and ctc scores differ in shape: ", py::str(vk::attr<"shape">(att)), " and ",
                                       py::str(vk::attr<"shape">(ctc))));
    return vkdomain::weighted_sum(att, 1.0 - w, ctc, w);
}

long long rows_of(py::handle t) { return shape_of(t).at(0); }

py::object joint_start(py::handle self, const vk::Args<"x">& a) {
    const py::handle x = a.get<"x">();
    if (!is_tensor(x)) vk::raise_arg_type("x", "Tensor", x);
    if (shape_of(x).size() != 2) throw py::value_error("x must be 2-dimensional (rows, prompt length)");
    const HeldAttention held = held_attention(self);
    const py::object prompts = py::reinterpret_borrow<py::object>(x);
    const double w = weight_of(self);
    const py::object att = w < 1.0 ? held.scores->start(prompts) : py::none();
    const py::object ctc = w > 0.0 ? vk::call_method<"start">(vk::attr<"ctc">(self), x) : py::none();
    return combine(self, *held.scores, att, ctc, rows_of(x));
}

py::object joint_step(py::handle self, const vk::Args<"tokens">& a) {
    const py::handle tokens = a.get<"tokens">();
    if (!is_tensor(tokens)) vk::raise_arg_type("tokens", "Tensor", tokens);
    const HeldAttention held = held_attention(self);
    const double w = weight_of(self);
    const py::object att = w < 1.0 ? held.scores->step(py::reinterpret_borrow<py::object>(tokens)) : py::none();
    const py::object ctc = w > 0.0 ? vk::call_method<"step">(vk::attr<"ctc">(self), tokens) : py::none();
    return combine(self, *held.scores, att, ctc, rows_of(tokens));
}

py::object joint_select(py::handle self, const vk::Args<"rows">& a) {
    const py::handle rows = a.get<"rows">();
    const HeldAttention held = held_attention(self);
    const double w = weight_of(self);
    if (w < 1.0) held.scores->select(py::reinterpret_borrow<py::object>(rows));
    if (w > 0.0) vk::call_method<"select">(vk::attr<"ctc">(self), rows);
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Definitions

constexpr vk::Def kBestPath{
    "best_path", best_path,
    "Best-path CTC decoding of log_probs (T, B, V), time first as the model's CTC inputs hold them, over the first\n"
    "lengths[b] frames of each utterance (all frames when None): the most probable class per frame, repeats\n"
    "collapsed and blanks dropped. Returns (list of B token-id lists, log-probabilities of the frame paths (B,))."};
constexpr vk::Def kCountUnalignable{
    "count_unalignable", count_unalignable,
    "Number of utterances whose CTC targets cannot be aligned to their frames: frames[i] below the length of\n"
    "targets[i] plus its number of adjacent repeated labels."};

constexpr vk::Def kPrefixInit{"__init__", prefix_init};
constexpr vk::Def kPrefixStart{"start", prefix_start,
                               "Starts rows for the prompts x (N, T0), N a multiple of the batch (row i belongs to utterance\n"
                               "i // (N // B)); sos tokens in a prompt are skipped. Returns the next-token scores (N, V)."};
constexpr vk::Def kPrefixStep{"step", prefix_step, "Appends tokens (N,) to the rows; returns the next-token scores (N, V)."};
constexpr vk::Def kPrefixSelect{"select", prefix_select, "New row i is old row rows[i]."};
constexpr vk::Def kPrefixScores{"prefix_scores", prefix_prefix_scores, "Log CTC prefix probability of each row's labels (N,)."};

constexpr vk::Def kJointInit{"__init__", joint_init};
constexpr vk::Def kJointStart{"start", joint_start, "Starts both scorers on the prompts x (N, T0); returns the joint scores (N, V)."};
constexpr vk::Def kJointStep{"step", joint_step, "Appends tokens (N,) in both scorers; returns the joint scores (N, V)."};
constexpr vk::Def kJointSelect{"select", joint_select, "New row i is old row rows[i], in both scorers."};

}  // namespace

PYBIND11_MODULE(ctc, m) {
    m.doc() = "Decoding with the CTC branch: best path, incremental CTC prefix scores and joint CTC/attention scores.";
    vk::define_functions<kBestPath, kCountUnalignable>(m);
    const py::handle object = vk::imported<"builtins", "object">();
    vk::define_class<kPrefixInit, kPrefixStart, kPrefixStep, kPrefixSelect, kPrefixScores>(
        m, "CTCPrefixScorer", object,
        "Incremental CTC prefix scorer over log_probs (T, B, V) (time first, blank = the tokenizer's pad_id) and\n"
        "lengths (B,). Scores are log-scores (log_probs = True): the log prefix probability of each extension minus\n"
        "that of the row, so a hypothesis's summed scores are its CTC log-probability once it ends with eos. eos\n"
        "scores the whole hypothesis: the full probability of its labels followed by eos when eos_is_label (the\n"
        "targets the ASR trainer's CTC loss sees end with eos), of its labels alone otherwise. Blank and sos score\n"
        "-inf.");
    vk::define_class<kJointInit, kJointStart, kJointStep, kJointSelect>(
        m, "JointScorer", object,
        "Joint CTC/attention scorer: (1 - ctc_weight) * attention log-probabilities + ctc_weight * CTC prefix-score\n"
        "increments, as final log-scores (log_probs = True). attention is a scorer (start, step, select; log_softmax\n"
        "is applied to its scores unless it declares log_probs) or a callable from the whole prefix (N, T) to\n"
        "logits (N, V); ctc is a CTCPrefixScorer. A weight of 0 never calls ctc, a weight of 1 never calls attention.");
}
