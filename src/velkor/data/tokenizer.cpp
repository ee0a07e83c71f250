// BrixTokenizer: transcript text to token ids and back.
//
// Two kinds of vocabulary share one id layout, so models, losses and decoders never need to know
// which one is in use: 0 = padding (also the CTC blank), 1 = start, 2 = end, 3 = unknown, then the
// tokens of real text from 4 on.
//   * "char": one id per character of a documented character list; any other character encodes
//     as the unknown id, so every text encodes. The lookup runs on native tables.
//   * "subword": a sentencepiece model (trained here from a corpus, or loaded from a file).
// A tokenizer saves to one JSON file holding everything needed to rebuild it (the sub-word model
// travels inside it), and pickles through the same state.
#include <vk/common.hpp>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

constexpr long kPadId = 0;
constexpr long kSosId = 1;
constexpr long kEosId = 2;
constexpr long kUnkId = 3;
constexpr long kFirstTextId = 4;
constexpr const char* kPadPiece = "<pad>";
constexpr const char* kSosPiece = "<sos>";
constexpr const char* kEosPiece = "<eos>";
constexpr const char* kUnkPiece = "<unk>";
// A character-level unknown decodes to one character, so character error rates count it once.
constexpr Py_UCS4 kUnkChar = 0x2047;  // "⁇"

constexpr const char* kDefaultCharacters = " 'abcdefghijklmnopqrstuvwxyz0123456789.,?!-:;\"()";
constexpr const char* kFileFormat = "velkor-tokenizer";
constexpr long kFileVersion = 1;

// Everything encode/decode need, kept in a capsule on the instance so a call costs one attribute
// lookup and no conversions. The public attributes mirror it for users.
struct Native {
    bool lowercase = true;
    long num_classes = 0;
    long pad_id = kPadId, sos_id = kSosId, eos_id = kEosId, unk_id = kUnkId;
    // Character vocabulary: direct tables for the first 256 code points, a map for the rest.
    std::array<long, 256> latin{};
    std::array<long, 128> ascii_folded{};  // ASCII with upper case folded, for lowercase mode
    std::unordered_map<Py_UCS4, long> other;
    std::vector<Py_UCS4> id_to_char;  // indexed by id; specials hold 0
    // Sub-word vocabulary: a sentencepiece processor (None in character mode).
    py::object sp;
    bool is_char() const { return sp.is_none(); }
};

constexpr const char* kCapsuleName = "velkor.data.tokenizer.Native";

// The native state of `self`, with a strong reference to the capsule that owns it: a call that
// runs Python code (an id's __index__, a tensor's tolist) may re-run __init__ or __setstate__,
// which replaces the capsule, and the state must outlive the call that is using it.
class NativeRef {
public:
    explicit NativeRef(py::handle self) : capsule_(vk::attr<"_native">(self)) {
        void* p = PyCapsule_GetPointer(capsule_.ptr(), kCapsuleName);
        if (p == nullptr) throw py::error_already_set();
        state_ = static_cast<const Native*>(p);
    }
    const Native& operator*() const { return *state_; }
    const Native* operator->() const { return state_; }

private:
    py::object capsule_;
    const Native* state_ = nullptr;
};

NativeRef native(py::handle self) { return NativeRef(self); }

py::capsule make_capsule(std::unique_ptr<Native> state) {
    return py::capsule(state.release(), kCapsuleName, [](PyObject* o) {
        const std::unique_ptr<Native> owned(static_cast<Native*>(PyCapsule_GetPointer(o, kCapsuleName)));
    });
}

py::str to_str(const std::u32string& s) {
    PyObject* r = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size()));
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// ---------------------------------------------------------------------------------------------
// Building the state

std::unique_ptr<Native> char_state(const py::str& characters, bool lowercase) {
    auto state = std::make_unique<Native>();
    state->lowercase = lowercase;
    state->latin.fill(kUnkId);
    state->id_to_char.assign(kFirstTextId, 0);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(characters.ptr());
    if (n == 0) throw py::value_error("characters must not be empty");
    const int kind = PyUnicode_KIND(characters.ptr());
    const void* data = PyUnicode_DATA(characters.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        const long id = kFirstTextId + static_cast<long>(i);
        const bool seen = c < 256 ? state->latin[c] != kUnkId : state->other.count(c) != 0;
        if (seen) throw py::value_error(vk::text("Duplicate character ", py::repr(to_str(std::u32string(1, c))), " in characters"));
        if (c < 256) {
            state->latin[c] = id;
        } else {
            state->other.emplace(c, id);
        }
        state->id_to_char.push_back(c);
    }
    for (Py_UCS4 c = 0; c < 128; ++c) {
        const Py_UCS4 folded = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        state->ascii_folded[c] = state->latin[folded];
    }
    state->sp = py::none();
    state->num_classes = kFirstTextId + static_cast<long>(n);
    return state;
}

long piece_id(py::handle sp, const char* method) { return py::cast<long>(vk::call(py::getattr(sp, method))); }

std::unique_ptr<Native> subword_state(py::handle proto, bool lowercase, const std::string& source) {
    auto state = std::make_unique<Native>();
    state->lowercase = lowercase;
    state->sp = vk::call(vk::imported<"sentencepiece", "SentencePieceProcessor">(), kw<"model_proto">(proto));
    state->num_classes = py::cast<long>(vk::call_method<"get_piece_size">(state->sp));
    state->pad_id = piece_id(state->sp, "pad_id");
    state->sos_id = piece_id(state->sp, "bos_id");
    state->eos_id = piece_id(state->sp, "eos_id");
    state->unk_id = piece_id(state->sp, "unk_id");
    // Padding doubles as the CTC blank and the ignored class: it must be a piece of its own.
    const std::array<std::pair<const char*, long>, 3> required{
        {{"padding", state->pad_id}, {"start", state->sos_id}, {"end", state->eos_id}}};
    for (const auto& [what, id] : required)
        if (id < 0)
            throw py::value_error(vk::text("The sub-word model ", source, " has no ", what,
                                           " piece; train it with pad_id, bos_id and eos_id set (BrixTokenizer.train_subword does)"));
    if (state->pad_id == state->sos_id || state->pad_id == state->eos_id || state->sos_id == state->eos_id ||
        state->pad_id == state->unk_id)
        throw py::value_error(vk::text("The sub-word model ", source, " must have distinct padding, start, end and unknown pieces"));
    return state;
}

// Sets the public attributes (in this order) and the native state.
void install(py::handle self, const char* token_type, bool lowercase, py::handle characters, std::unique_ptr<Native> state) {
    vk::set_attr<"token_type">(self, py::str(token_type));
    vk::set_attr<"lowercase">(self, py::bool_(lowercase));
    vk::set_attr<"characters">(self, characters);
    vk::set_attr<"pad_id">(self, py::int_(state->pad_id));
    vk::set_attr<"sos_id">(self, py::int_(state->sos_id));
    vk::set_attr<"eos_id">(self, py::int_(state->eos_id));
    vk::set_attr<"unk_id">(self, py::int_(state->unk_id));
    vk::set_attr<"num_classes">(self, py::int_(state->num_classes));
    vk::set_attr<"_native">(self, make_capsule(std::move(state)));
}

void install_char(py::handle self, py::handle characters, bool lowercase) {
    const py::str chars = py::reinterpret_borrow<py::str>(characters);
    install(self, "char", lowercase, chars, char_state(chars, lowercase));
}

void install_subword(py::handle self, py::handle proto, bool lowercase, const std::string& source) {
    install(self, "subword", lowercase, py::none(), subword_state(proto, lowercase, source));
}

py::bytes read_model_file(py::handle path) {
    const py::object file = vk::call(vk::imported<"pathlib", "Path">(), path);
    return vk::call_method<"read_bytes">(file);
}

py::object init(py::handle self, const vk::Args<"token_type='char', characters=None, lowercase=True, model_file=None">& a) {
    const std::string token_type = a.text<"token_type">();
    const bool lowercase = a.flag<"lowercase">();
    if (token_type == "char") {
        if (!a.is_none<"model_file">()) throw py::value_error("model_file is only used with token_type 'subword'");
        if (a.is_none<"characters">()) {
            install_char(self, py::str(kDefaultCharacters), lowercase);
        } else {
            a.text<"characters">();
            install_char(self, a.get<"characters">(), lowercase);
        }
    } else if (token_type == "subword") {
        if (a.is_none<"model_file">()) throw py::value_error("token_type 'subword' needs a model_file");
        if (!a.is_none<"characters">()) throw py::value_error("characters is only used with token_type 'char'");
        const py::handle model_file = a.get<"model_file">();
        install_subword(self, read_model_file(model_file), lowercase, vk::display(model_file));
    } else {
        throw py::value_error("token_type must be 'char' or 'subword'");
    }
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Encoding

py::list encode_chars(const Native& st, py::handle text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    py::list ids(n);
    PyObject* list = ids.ptr();
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        long id;
        if (c < 256) {
            id = st.latin[c];
        } else {
            const auto it = st.other.find(c);
            id = it == st.other.end() ? kUnkId : it->second;
        }
        PyList_SET_ITEM(list, i, PyLong_FromLong(id));  // small ints: cached, cannot fail
    }
    return ids;
}

// Pure ASCII in lowercase mode: folding is a table lookup, no new string.
py::list encode_ascii_folded(const Native& st, py::handle text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    py::list ids(n);
    PyObject* list = ids.ptr();
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, PyLong_FromLong(st.ascii_folded[data[i]]));
    return ids;
}

py::object encode(py::handle self, const vk::Args<"text">& a) {
    const py::handle text = a.get<"text">();
    if (!PyUnicode_CheckExact(text.ptr())) vk::raise_arg_type("text", "str", text);
    const NativeRef held = native(self);
    const Native& st = *held;
    if (st.is_char()) {
        if (!st.lowercase) return encode_chars(st, text);
        if (PyUnicode_IS_ASCII(text.ptr())) return encode_ascii_folded(st, text);
        return encode_chars(st, vk::call_method<"lower">(text));
    }
    const py::object source = st.lowercase ? vk::call_method<"lower">(text) : py::reinterpret_borrow<py::object>(text);
    return py::list(vk::call_method<"encode">(st.sp, source));
}

// ---------------------------------------------------------------------------------------------
// Decoding

// The ids of `ids` (list, tuple, 1-D tensor or array, or any iterable of integers), range-checked.
std::vector<long> read_ids(const Native& st, py::handle ids) {
    py::object seq = py::reinterpret_borrow<py::object>(ids);
    if (!PyList_CheckExact(seq.ptr()) && !PyTuple_CheckExact(seq.ptr())) {
        if (vk::has_attr<"tolist">(seq)) {
            seq = vk::call_method<"tolist">(seq);
            if (!PyList_CheckExact(seq.ptr())) throw py::value_error("decode expects a 1-D sequence of token ids, got a 0-D value");
        } else if (PyUnicode_Check(seq.ptr()) || PyBytes_Check(seq.ptr())) {
            vk::raise_arg_type("ids", "list", seq);
        }
    }
    PyObject* fast = PySequence_Fast(seq.ptr(), "decode expects a sequence of token ids");
    if (fast == nullptr) throw py::error_already_set();
    const py::object held = py::reinterpret_steal<py::object>(fast);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    PyObject** items = PySequence_Fast_ITEMS(fast);
    std::vector<long> out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        py::object index;
        if (PyLong_CheckExact(item)) {
            index = py::reinterpret_borrow<py::object>(item);
        } else {
            if (PyList_Check(item) || PyTuple_Check(item))
                throw py::value_error("decode expects a 1-D sequence of token ids, got a nested sequence");
            index = py::reinterpret_steal<py::object>(PyNumber_Index(item));  // numpy integers; floats are refused here
            if (!index) throw py::error_already_set();
        }
        int overflow = 0;
        const long id = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
        if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || id < 0 || id >= st.num_classes)
            throw py::value_error(vk::text("Token id ", overflow != 0 ? vk::display(index) : std::to_string(id),
                                           " is out of range for a vocabulary of ", st.num_classes, " tokens"));
        out[static_cast<std::size_t>(i)] = id;
    }
    return out;
}

bool skipped(const Native& st, long id) { return id == st.pad_id || id == st.sos_id || id == st.eos_id; }

const char* special_piece(const Native& st, long id) { return id == st.pad_id ? kPadPiece : id == st.sos_id ? kSosPiece : kEosPiece; }

// Writes the text of `ids` into a str of the narrowest kind that holds it: one pass sizes it,
// one pass fills it, no intermediate buffer.
template <class Char>
void write_chars(const Native& st, const std::vector<long>& ids, bool skip_special, Char* out) {
    for (const long id : ids) {
        if (id >= kFirstTextId) {
            *out++ = static_cast<Char>(st.id_to_char[static_cast<std::size_t>(id)]);
        } else if (id == kUnkId) {
            *out++ = static_cast<Char>(kUnkChar);
        } else if (!skip_special) {
            for (const char* p = special_piece(st, id); *p != '\0'; ++p) *out++ = static_cast<Char>(static_cast<unsigned char>(*p));
        }
    }
}

py::str decode_chars(const Native& st, const std::vector<long>& ids, bool skip_special) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (const long id : ids) {
        if (id >= kFirstTextId) {
            max_char = std::max(max_char, st.id_to_char[static_cast<std::size_t>(id)]);
            ++length;
        } else if (id == kUnkId) {
            max_char = std::max(max_char, kUnkChar);
            ++length;
        } else if (!skip_special) {
            length += static_cast<Py_ssize_t>(std::char_traits<char>::length(special_piece(st, id)));
            max_char = std::max<Py_UCS4>(max_char, 'z');
        }
    }
    PyObject* text = PyUnicode_New(length, max_char);
    if (text == nullptr) throw py::error_already_set();
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            write_chars(st, ids, skip_special, PyUnicode_1BYTE_DATA(text));
            break;
        case PyUnicode_2BYTE_KIND:
            write_chars(st, ids, skip_special, PyUnicode_2BYTE_DATA(text));
            break;
        default:
            write_chars(st, ids, skip_special, PyUnicode_4BYTE_DATA(text));
            break;
    }
    return py::reinterpret_steal<py::str>(text);
}

py::str decode_subwords(const Native& st, const std::vector<long>& ids, bool skip_special) {
    // Runs of ordinary pieces go to sentencepiece (which joins pieces and restores spaces);
    // start, end and padding pieces are written by name between them unless skipped.
    py::list parts;
    py::list run;
    const auto flush = [&] {
        if (run.empty()) return;
        parts.append(vk::call_method<"decode">(st.sp, run));
        run = py::list();
    };
    for (const long id : ids) {
        if (!skipped(st, id)) {
            run.append(id);
        } else if (!skip_special) {
            flush();
            parts.append(special_piece(st, id));
        }
    }
    flush();
    return py::str("").attr("join")(parts);
}

py::object decode(py::handle self, const vk::Args<"ids, skip_special_tokens=False">& a) {
    const NativeRef held = native(self);
    const Native& st = *held;
    const std::vector<long> ids = read_ids(st, a.get<"ids">());
    const bool skip_special = a.flag<"skip_special_tokens">();
    return st.is_char() ? decode_chars(st, ids, skip_special) : decode_subwords(st, ids, skip_special);
}

// ---------------------------------------------------------------------------------------------
// Persistence: one state dictionary serves pickling, copying and the saved file.

py::dict state_of(py::handle self) {
    const NativeRef held = native(self);
    const Native& st = *held;
    py::dict state;
    state["format"] = kFileFormat;
    state["version"] = kFileVersion;
    state["token_type"] = vk::attr<"token_type">(self);
    state["lowercase"] = py::bool_(st.lowercase);
    if (st.is_char()) {
        state["characters"] = vk::attr<"characters">(self);
    } else {
        state["model_proto"] = vk::call_method<"serialized_model_proto">(st.sp);
    }
    return state;
}

void restore(py::handle self, py::handle state_obj, const std::string& source) {
    const auto invalid = [&](const std::string& why) {
        return py::value_error(vk::text(source, " is not a saved BrixTokenizer (", why, ")"));
    };
    if (!PyDict_Check(state_obj.ptr())) throw invalid("expected a JSON object");
    const py::dict state = py::reinterpret_borrow<py::dict>(state_obj);
    if (!state.contains("format") || !py::str(kFileFormat).equal(state["format"])) throw invalid("missing format marker");
    if (!state.contains("version") || !py::int_(kFileVersion).equal(state["version"])) throw invalid("unsupported version");
    if (!state.contains("token_type") || !state.contains("lowercase")) throw invalid("missing token_type or lowercase");
    const bool lowercase = vk::truthy(state["lowercase"]);
    const py::object token_type = state["token_type"];
    if (py::str("char").equal(token_type)) {
        if (!state.contains("characters") || !PyUnicode_CheckExact(py::object(state["characters"]).ptr()))
            throw invalid("missing characters");
        install_char(self, state["characters"], lowercase);
    } else if (py::str("subword").equal(token_type)) {
        if (!state.contains("model_proto")) throw invalid("missing model_proto");
        install_subword(self, state["model_proto"], lowercase, source);
    } else {
        throw invalid("unknown token_type");
    }
}

py::object get_state(py::handle self, const vk::Args<"">&) { return state_of(self); }

py::object set_state(py::handle self, const vk::Args<"state">& a) {
    restore(self, a.get<"state">(), "the pickled state");
    return py::none();
}

py::object save(py::handle self, const vk::Args<"path">& a) {
    py::dict state = state_of(self);
    if (state.contains("model_proto"))
        state["model_proto"] =
            vk::call_method<"decode">(vk::call(vk::imported<"base64", "b64encode">(), py::object(state["model_proto"])), "ascii");
    const py::object text = vk::call(vk::imported<"json", "dumps">(), state, kw<"ensure_ascii">(false), kw<"indent">(1));
    const py::object file = vk::call(vk::imported<"pathlib", "Path">(), a.get<"path">());
    vk::call_method<"write_text">(file, text, kw<"encoding">("utf-8"));
    return py::none();
}

py::object new_instance() {
    static const py::handle object_new = vk::keep(vk::imported<"builtins", "object">().attr("__new__"));
    return vk::call(object_new, vk::imported<"velkor.data.tokenizer", "BrixTokenizer">());
}

py::object load(py::handle, const vk::Args<"path">& a) {
    const py::object file = vk::call(vk::imported<"pathlib", "Path">(), a.get<"path">());
    const std::string source = vk::display(file);
    const py::object text = vk::call_method<"read_text">(file, kw<"encoding">("utf-8"));
    py::object state;
    try {
        state = vk::call(vk::imported<"json", "loads">(), text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        throw py::value_error(source + " is not a saved BrixTokenizer (not JSON)");
    }
    if (PyDict_Check(state.ptr()) && state.contains("model_proto")) {
        try {
            state["model_proto"] = vk::call(vk::imported<"base64", "b64decode">(), py::object(state["model_proto"]), kw<"validate">(true));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            throw py::value_error(source + " is not a saved BrixTokenizer (model_proto is not base64)");
        }
    }
    py::object tokenizer = new_instance();
    restore(tokenizer, state, source);
    return tokenizer;
}

// Trains a sentencepiece model in memory on `corpus` (a text file with one sentence per line, or
// an iterable of sentences) with this tokenizer's special-id layout.
using TrainSubwordArgs = vk::Args<"corpus, vocab_size, model_type='unigram', lowercase=True, character_coverage=1.0">;
py::object train_subword(py::handle, const TrainSubwordArgs& a) {
    const long long vocab_size = a.integer<"vocab_size">();
    const std::string model_type = a.text<"model_type">();
    const bool lowercase = a.flag<"lowercase">();
    const double character_coverage = a.real<"character_coverage">();
    if (vocab_size <= kFirstTextId) throw py::value_error(vk::text("vocab_size must be greater than ", kFirstTextId));
    if (model_type != "unigram" && model_type != "bpe" && model_type != "char" && model_type != "word")
        throw py::value_error("model_type must be 'unigram', 'bpe', 'char' or 'word'");

    const py::handle corpus = a.get<"corpus">();
    py::object lines_source;
    if (PyUnicode_Check(corpus.ptr()) || vk::has_attr<"__fspath__">(corpus)) {
        const py::object file = vk::call(vk::imported<"pathlib", "Path">(), corpus);
        lines_source = vk::call_method<"splitlines">(vk::call_method<"read_text">(file, kw<"encoding">("utf-8")));
    } else {
        lines_source = py::reinterpret_borrow<py::object>(corpus);
    }
    py::list sentences;
    for (const py::handle line : lines_source) {
        if (!PyUnicode_Check(line.ptr())) vk::raise_arg_type("corpus item", "str", line);
        py::object s = vk::call_method<"rstrip">(line, "\r\n");
        if (lowercase) s = vk::call_method<"lower">(s);
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0) sentences.append(s);
    }
    if (sentences.empty()) throw py::value_error("corpus holds no text to train on");

    const py::object writer = vk::call(vk::imported<"io", "BytesIO">());
    vk::call(py::object(vk::imported<"sentencepiece", "SentencePieceTrainer">().attr("train")),
             kw<"sentence_iterator">(vk::call(vk::imported<"builtins", "iter">(), sentences)), kw<"model_writer">(writer),
             kw<"vocab_size">(vocab_size), kw<"model_type">(model_type), kw<"character_coverage">(character_coverage), kw<"pad_id">(kPadId),
             kw<"bos_id">(kSosId), kw<"eos_id">(kEosId), kw<"unk_id">(kUnkId), kw<"pad_piece">(kPadPiece), kw<"bos_piece">(kSosPiece),
             kw<"eos_piece">(kEosPiece), kw<"unk_piece">(kUnkPiece), kw<"minloglevel">(2));
    py::object tokenizer = new_instance();
    install_subword(tokenizer, vk::call_method<"getvalue">(writer), lowercase, "trained in memory");
    return tokenizer;
}

py::object repr(py::handle self, const vk::Args<"">&) {
    return py::str(vk::text("BrixTokenizer(token_type=", py::repr(vk::attr<"token_type">(self)),
                            ", num_classes=", vk::attr<"num_classes">(self), ")"));
}

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kEncode{"encode", encode,
                          "Token ids of `text` as a plain list of ints, without start or end id. Characters outside the "
                          "vocabulary encode as `unk_id`."};
constexpr vk::Def kDecode{"decode", decode,
                          "Text of `ids` (a list of ints or a 1-D tensor). With skip_special_tokens the start, end and "
                          "padding ids contribute no text; otherwise they are written as <sos>, <eos>, <pad>."};
constexpr vk::Def kSave{"save", save, "Writes the tokenizer (vocabulary or sub-word model included) to one file."};
constexpr vk::Def kGetState{"__getstate__", get_state};
constexpr vk::Def kSetState{"__setstate__", set_state};
constexpr vk::Def kRepr{"__repr__", repr};
constexpr vk::Def kLoad{"load", load, "Rebuilds a tokenizer written by BrixTokenizer.save."};
constexpr vk::Def kTrainSubword{"train_subword", train_subword,
                                "Trains a sentencepiece sub-word model on `corpus` (a text file, one sentence per line, or an iterable of "
                                "sentences) and returns a tokenizer using it."};

}  // namespace

PYBIND11_MODULE(tokenizer, m) {
    m.doc() = "Character-level and sub-word tokenizer with a fixed special-id layout.";
    m.attr("DEFAULT_CHARACTERS") = kDefaultCharacters;
    const py::object cls = vk::define_class<kInit, kEncode, kDecode, kSave, kGetState, kSetState, kRepr>(
        m, "BrixTokenizer", vk::imported<"builtins", "object">(),
        "Turns transcript text into token ids and back.\n\n"
        "Ids: 0 padding (also the CTC blank), 1 start, 2 end, 3 unknown, 4 and up real text.");
    // Constructors that build a tokenizer from a file or a corpus.
    vk::define_static_methods<kLoad, kTrainSubword>(m, cls);
}
