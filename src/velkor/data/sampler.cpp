// Batch samplers: the length-bucketing one for the speech dataset (utterances of similar length
// share a batch, so batches carry little padding and the recurrent front-end runs on even lengths)
// and a plain shuffled one; both share every epoch out among the processes of a data-parallel run.
//
// Each epoch the bucketing sampler sorts the utterances by frame count (equal lengths in random
// order), cuts them into buckets of a few batches whose members are shuffled among themselves, cuts
// them into batches, and serves the batches in random order. Every utterance appears exactly once
// per epoch.
//
// With W processes (replicas) a batch is a global batch of W x batch_size utterances, dealt out:
// replica r takes members r, r + W, r + 2W, ... of each, so every step covers what one process with
// a batch W times larger would see, and the replicas of a bucketed batch have similar lengths. A
// last global batch too short to give each replica an utterance (fewer than W) is dropped when the
// replicas must stay in step (even, for training: every replica then serves as many batches);
// otherwise the replicas it does not reach serve one batch less. All replicas draw the same order
// for a seed and an epoch.
#include <vk/common.hpp>

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace {

namespace py = pybind11;
using vk::as_index;
using vk::kw;

long long positive(long long v, const char* arg) {
    if (v <= 0) throw py::value_error(vk::text(arg, " must be a positive integer, got ", v));
    return v;
}

// Frame counts of the dataset's utterances (the second axis of each stored feature array); a
// Subset is measured through the dataset it views.
std::vector<long long> dataset_lengths(py::handle dataset) {
    if (!vk::has_attr<"feats">(dataset)) {
        if (vk::has_attr<"dataset">(dataset) && vk::has_attr<"indices">(dataset)) {
            const std::vector<long long> all = dataset_lengths(vk::attr<"dataset">(dataset));
            std::vector<long long> out;
            for (const py::handle i : vk::attr<"indices">(dataset)) {
                long long k = as_index(i);
                if (k < 0) k += static_cast<long long>(all.size());
                if (k < 0 || k >= static_cast<long long>(all.size()))
                    throw py::index_error(
                        vk::text("Subset index ", as_index(i), " is out of range for ", static_cast<long long>(all.size()), " utterances"));
                out.push_back(all[static_cast<std::size_t>(k)]);
            }
            return out;
        }
        throw py::type_error("dataset must hold feature arrays in 'feats' (an ASRDataset or a Subset of one), or lengths must be given");
    }
    std::vector<long long> out;
    for (const py::handle features : vk::attr<"feats">(dataset)) {
        const py::tuple shape = py::reinterpret_borrow<py::tuple>(vk::attr<"shape">(features));
        if (shape.size() != 2)
            throw py::value_error(vk::text("feature arrays must be 2-dimensional (num_feats, frames), got ", shape.size(), " dimensions"));
        out.push_back(as_index(shape[1]));
    }
    return out;
}

std::vector<long long> given_lengths(py::handle lengths) {
    std::vector<long long> out;
    for (const py::handle v : lengths) {
        const long long n = vk::exact_int(v, "lengths");
        if (n < 0) throw py::value_error(vk::text("lengths must not be negative, got ", n));
        out.push_back(n);
    }
    return out;
}

struct Sizes {
    std::vector<long long> lengths;
    long long batch_size, bucket_batches;
    bool shuffle, drop_last;
    long long replicas = 1, rank = 0;
    bool even = true;
};

// The data-parallel share: num_replicas and rank as given, else those of torch.distributed's
// default process group when one is initialized, else one replica.
std::pair<long long, long long> replicas_and_rank(py::handle num_replicas, py::handle rank) {
    const py::handle dist = vk::imported<"torch.distributed">();
    const bool group = vk::truthy(vk::call(vk::attr<"is_available">(dist))) && vk::truthy(vk::call(vk::attr<"is_initialized">(dist)));
    const long long replicas = num_replicas.is_none() ? (group ? as_index(vk::call(vk::attr<"get_world_size">(dist))) : 1)
                                                      : vk::exact_int(num_replicas, "num_replicas");
    const long long r = rank.is_none() ? (group ? as_index(vk::call(vk::attr<"get_rank">(dist))) : 0) : vk::exact_int(rank, "rank");
    if (replicas < 1) throw py::value_error(vk::text("num_replicas must be a positive integer, got ", replicas));
    if (r < 0 || r >= replicas) throw py::value_error(vk::text("rank must be in [0, ", replicas - 1, "], got ", r));
    return {replicas, r};
}

void read_share(py::handle self, Sizes& s) {
    s.replicas = positive(as_index(vk::attr<"num_replicas">(self)), "num_replicas");
    s.rank = as_index(vk::attr<"rank">(self));
    if (s.rank < 0 || s.rank >= s.replicas) throw py::value_error(vk::text("rank must be in [0, ", s.replicas - 1, "], got ", s.rank));
    s.even = vk::truthy(vk::attr<"even">(self));
}

void store_share(py::handle self, py::handle num_replicas, py::handle rank, bool even) {
    const auto [replicas, r] = replicas_and_rank(num_replicas, rank);
    vk::set_attr<"num_replicas">(self, py::int_(replicas));
    vk::set_attr<"rank">(self, py::int_(r));
    vk::set_attr<"even">(self, py::bool_(even));
}

// This replica's part of each global batch (members rank, rank + W, ...). An empty part ends the
// epoch's batches there for this replica; when the replicas must stay in step, a global batch that
// leaves any replica empty is dropped for all of them.
std::vector<std::vector<long long>> deal(std::vector<std::vector<long long>> global, const Sizes& s) {
    if (s.replicas == 1) return global;
    std::vector<std::vector<long long>> out;
    for (const auto& batch : global) {
        if (s.even && static_cast<long long>(batch.size()) < s.replicas) continue;
        std::vector<long long> part;
        for (std::size_t i = static_cast<std::size_t>(s.rank); i < batch.size(); i += static_cast<std::size_t>(s.replicas))
            part.push_back(batch[i]);
        if (!part.empty()) out.push_back(std::move(part));
    }
    return out;
}

// Batches a replica serves per epoch, from the sizes of the global batches (one short batch at most).
long long dealt_count(long long n, const Sizes& s) {
    const long long global = s.batch_size * s.replicas;
    const long long full = n / global, rest = n % global;
    if (rest == 0 || s.drop_last) return full;
    if (s.even) return full + (rest >= s.replicas ? 1 : 0);
    return full + (rest > s.rank ? 1 : 0);
}

// The lengths are kept as a tuple on the instance; reading them back checks nothing was replaced
// by something of another size.
Sizes read_sizes(py::handle self) {
    Sizes s;
    for (const py::handle v : vk::attr<"lengths">(self)) s.lengths.push_back(as_index(v));
    s.batch_size = positive(as_index(vk::attr<"batch_size">(self)), "batch_size");
    s.bucket_batches = positive(as_index(vk::attr<"bucket_batches">(self)), "bucket_batches");
    s.shuffle = vk::truthy(vk::attr<"shuffle">(self));
    s.drop_last = vk::truthy(vk::attr<"drop_last">(self));
    read_share(self, s);
    return s;
}

long long batch_count(const Sizes& s) { return dealt_count(static_cast<long long>(s.lengths.size()), s); }

// A permutation of 0..n-1 drawn from torch's generator (so seeds behave as torch users expect).
std::vector<long long> permutation(long long n, py::handle generator) {
    std::vector<long long> out(static_cast<std::size_t>(n));
    if (n == 0) return out;
    const vk::HostValues host(vk::call(vk::imported<"torch", "randperm">(), n, kw<"generator">(generator)));
    if (host.size() != out.size()) throw std::runtime_error("randperm returned an unexpected size");
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = host.integer(i);
        if (out[i] < 0 || out[i] >= n) throw std::runtime_error("randperm returned an index out of range");
    }
    return out;
}

std::vector<std::vector<long long>> epoch_batches(const Sizes& s, long long seed, long long epoch) {
    const auto n = static_cast<long long>(s.lengths.size());
    std::vector<long long> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0LL);
    py::object generator = py::none();
    if (s.shuffle) {
        generator = vk::call(vk::imported<"torch", "Generator">());
        vk::call_method<"manual_seed">(generator, seed + epoch);
        order = permutation(n, generator);
    }
    std::stable_sort(order.begin(), order.end(), [&](long long a, long long b) {
        return s.lengths[static_cast<std::size_t>(a)] < s.lengths[static_cast<std::size_t>(b)];
    });
    const long long global = s.batch_size * s.replicas;
    if (s.shuffle) {
        const long long bucket = global * s.bucket_batches;
        for (long long start = 0; start < n; start += bucket) {
            const long long size = std::min(bucket, n - start);
            const std::vector<long long> p = permutation(size, generator);
            std::vector<long long> members(order.begin() + start, order.begin() + start + size);
            for (long long j = 0; j < size; ++j)
                order[static_cast<std::size_t>(start + j)] = members[static_cast<std::size_t>(p[static_cast<std::size_t>(j)])];
        }
    }
    std::vector<std::vector<long long>> batches;
    const long long count = s.drop_last ? n / global : (n + global - 1) / global;
    for (long long b = 0; b < count; ++b) {
        const long long start = b * global;
        const long long end = std::min(start + global, n);
        batches.emplace_back(order.begin() + start, order.begin() + end);
    }
    if (s.shuffle) {
        const std::vector<long long> p = permutation(count, generator);
        std::vector<std::vector<long long>> shuffled(batches.size());
        for (std::size_t i = 0; i < shuffled.size(); ++i) shuffled[i] = std::move(batches[static_cast<std::size_t>(p[i])]);
        batches = std::move(shuffled);
    }
    return deal(std::move(batches), s);
}

using InitArgs = vk::Args<
    "dataset, batch_size, shuffle=True, drop_last=False, seed=0, bucket_batches=4, lengths=None, num_replicas=None, rank=None, even=True">;
py::object init(py::handle self, const InitArgs& a) {
    const long long batch_size = positive(a.integer<"batch_size">(), "batch_size");
    const long long bucket_batches = positive(a.integer<"bucket_batches">(), "bucket_batches");
    const long long seed = a.integer<"seed">();
    const std::vector<long long> lengths = a.is_none<"lengths">() ? dataset_lengths(a.get<"dataset">()) : given_lengths(a.get<"lengths">());
    vk::set_attr<"dataset">(self, a.get<"dataset">());
    vk::set_attr<"batch_size">(self, py::int_(batch_size));
    vk::set_attr<"shuffle">(self, py::bool_(a.flag<"shuffle">()));
    vk::set_attr<"drop_last">(self, py::bool_(a.flag<"drop_last">()));
    vk::set_attr<"seed">(self, py::int_(seed));
    vk::set_attr<"bucket_batches">(self, py::int_(bucket_batches));
    vk::set_attr<"lengths">(self, py::tuple(py::cast(lengths)));
    vk::set_attr<"epoch">(self, py::int_(0));
    store_share(self, a.get<"num_replicas">(), a.get<"rank">(), a.flag<"even">());
    return py::none();
}

py::object iter(py::handle self, const vk::Args<"">&) {
    const Sizes sizes = read_sizes(self);
    const long long epoch = as_index(vk::attr<"epoch">(self));
    const auto batches = epoch_batches(sizes, as_index(vk::attr<"seed">(self)), epoch);
    vk::set_attr<"epoch">(self, py::int_(epoch + 1));
    py::list out(batches.size());
    for (std::size_t i = 0; i < batches.size(); ++i) out[i] = py::cast(batches[i]);
    return py::reinterpret_steal<py::object>(PyObject_GetIter(out.ptr()));
}

py::object len(py::handle self, const vk::Args<"">&) { return py::int_(batch_count(read_sizes(self))); }

py::object set_epoch(py::handle self, const vk::Args<"epoch">& a) {
    vk::set_attr<"epoch">(self, py::int_(a.integer<"epoch">()));
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// The plain sampler: a shuffled (or in-order) pass over len(dataset) indices, dealt out in the
// same way.

Sizes read_plain(py::handle self) {
    Sizes s;
    s.batch_size = positive(as_index(vk::attr<"batch_size">(self)), "batch_size");
    s.bucket_batches = 1;
    s.shuffle = vk::truthy(vk::attr<"shuffle">(self));
    s.drop_last = vk::truthy(vk::attr<"drop_last">(self));
    read_share(self, s);
    return s;
}

long long dataset_size(py::handle self) {
    const Py_ssize_t n = PyObject_Length(vk::attr<"dataset">(self).ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

using PlainInitArgs = vk::Args<"dataset, batch_size, shuffle=True, drop_last=False, seed=0, num_replicas=None, rank=None, even=True">;
py::object plain_init(py::handle self, const PlainInitArgs& a) {
    const long long batch_size = positive(a.integer<"batch_size">(), "batch_size");
    const long long seed = a.integer<"seed">();
    if (PyObject_Length(a.get<"dataset">().ptr()) < 0) throw py::error_already_set();
    vk::set_attr<"dataset">(self, a.get<"dataset">());
    vk::set_attr<"batch_size">(self, py::int_(batch_size));
    vk::set_attr<"shuffle">(self, py::bool_(a.flag<"shuffle">()));
    vk::set_attr<"drop_last">(self, py::bool_(a.flag<"drop_last">()));
    vk::set_attr<"seed">(self, py::int_(seed));
    vk::set_attr<"epoch">(self, py::int_(0));
    store_share(self, a.get<"num_replicas">(), a.get<"rank">(), a.flag<"even">());
    return py::none();
}

py::object plain_iter(py::handle self, const vk::Args<"">&) {
    const Sizes s = read_plain(self);
    const long long n = dataset_size(self);
    const long long epoch = as_index(vk::attr<"epoch">(self));
    std::vector<long long> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0LL);
    if (s.shuffle) {
        const py::object generator = vk::call(vk::imported<"torch", "Generator">());
        vk::call_method<"manual_seed">(generator, as_index(vk::attr<"seed">(self)) + epoch);
        order = permutation(n, generator);
    }
    const long long global = s.batch_size * s.replicas;
    std::vector<std::vector<long long>> batches;
    for (long long start = 0; start < n; start += global) {
        const long long end = std::min(start + global, n);
        if (s.drop_last && end - start < global) break;
        batches.emplace_back(order.begin() + start, order.begin() + end);
    }
    batches = deal(std::move(batches), s);
    vk::set_attr<"epoch">(self, py::int_(epoch + 1));
    py::list out(batches.size());
    for (std::size_t i = 0; i < batches.size(); ++i) out[i] = py::cast(batches[i]);
    return py::reinterpret_steal<py::object>(PyObject_GetIter(out.ptr()));
}

py::object plain_len(py::handle self, const vk::Args<"">&) { return py::int_(dealt_count(dataset_size(self), read_plain(self))); }

constexpr vk::Def kPlainInit{"__init__", plain_init};
constexpr vk::Def kPlainIter{"__iter__", plain_iter, "Yields this epoch's batches (lists of dataset indices), then advances the epoch."};
constexpr vk::Def kPlainLen{"__len__", plain_len, "Number of batches this replica serves per epoch."};

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kIter{"__iter__", iter, "Yields this epoch's batches (lists of dataset indices), then advances the epoch."};
constexpr vk::Def kLen{"__len__", len, "Number of batches this replica serves per epoch."};
constexpr vk::Def kSetEpoch{"set_epoch", set_epoch, "Sets the epoch whose order the next iteration yields (seed + epoch draws it)."};

}  // namespace

PYBIND11_MODULE(sampler, m) {
    m.doc() = "Batch samplers: length bucketing for the speech dataset, plain shuffling; both share epochs among data-parallel replicas.";
    vk::define_class<kInit, kIter, kLen, kSetEpoch>(
        m, "LengthBucketSampler", vk::imported<"torch.utils.data", "Sampler">(),
        "Batch sampler over an ASRDataset (or a Subset of one) that puts utterances of similar length together:\n"
        "DataLoader(dataset, batch_sampler=LengthBucketSampler(dataset, 16), collate_fn=dataset.collate_fn).\n"
        "Lengths are the utterances' frame counts, or the given lengths. Each epoch sorts by length (ties in random\n"
        "order), shuffles within buckets of bucket_batches batches, and serves the batches in random order; with\n"
        "shuffle false, batches come in increasing length. Every utterance appears once per epoch (the last, shorter\n"
        "batch is dropped with drop_last). Epoch e draws its order from seed + e; iterating advances the epoch.\n"
        "Data-parallel: num_replicas and rank (default: torch.distributed's process group, else 1 and 0) make each\n"
        "batch a global batch of num_replicas x batch_size, dealt out member by member (replica r takes r, r + W, ...),\n"
        "so the replicas see similar lengths and every utterance goes to one replica. A last global batch of fewer\n"
        "than num_replicas utterances is dropped with even (the replicas then serve the same number of batches, as\n"
        "training in step needs); without even, replicas it does not reach serve one batch less.");
    vk::define_class<kPlainInit, kPlainIter, kPlainLen, kSetEpoch>(
        m, "ShardedBatchSampler", vk::imported<"torch.utils.data", "Sampler">(),
        "Batch sampler over len(dataset) indices, shuffled each epoch (or in order), for data-parallel training:\n"
        "DataLoader(dataset, batch_sampler=ShardedBatchSampler(dataset, 16), collate_fn=dataset.collate_fn).\n"
        "Epoch e's order is drawn from seed + e, the same on every replica; iterating advances the epoch and set_epoch\n"
        "chooses it. Each batch is a global batch of num_replicas x batch_size (default: torch.distributed's process\n"
        "group, else 1 and 0) dealt out member by member: replica r takes members r, r + W, ..., so one step of W\n"
        "replicas covers one batch of a single process with a batch W times larger, and no index comes twice in an\n"
        "epoch. Uneven last part: a last global batch of fewer than num_replicas indices is dropped with even (every\n"
        "replica then serves the same number of batches, as training in step needs); without even, the replicas it\n"
        "does not reach serve one batch less. drop_last drops a last global batch that is not full.");
}
