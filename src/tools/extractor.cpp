// qel_i18n tools: the Extractor type. An extractor is made with the marker names to look for
// and called like the module's scanner, `extractor(source_filename, cache)`: it reads the file
// as Python decodes it, finds the marked calls, and records the message of each literal one in
// the cache under (position text, message), as the update expects. The calls it cannot take
// are kept, with their reason, in its `skipped` list; they never stop a run.
#include "tools/extractor.hpp"

#include "extract/cache.hpp"
#include "tools/lexer.hpp"
#include "tools/literal.hpp"
#include "tools/source_text.hpp"

#include <new>
#include <string>

namespace qel_i18n::tools {

namespace {

PyTypeObject *extractor_type = nullptr;
PyObject *character_lookup = nullptr; // unicodedata.lookup, held for the life of the process

struct ExtractorObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MarkerNames *markers;
    PyObject *keywords; // tuple of str
    PyObject *skipped;  // list of (filename, line, marker, reason)
    Py_ssize_t calls;   // literal marked calls recorded
    Py_ssize_t files;   // files scanned
};

ExtractorObject *as_extractor(PyObject *self) noexcept {
    return reinterpret_cast<ExtractorObject *>(self);
}

/// Markers that are reported, never taken: the catalogue holds one message per row, without
/// context, plural or domain.
struct ReportedMarker {
    const char *name;
    const char *reason;
};
constexpr const char plural[] = "plural forms have no row in the catalogue";
constexpr const char context[] = "a message with a context has no row in the catalogue";
constexpr const char domain[] = "a message of another domain has no row in the catalogue";
constexpr ReportedMarker reported_markers[] = {
    {"ngettext", plural},   {"ungettext", plural}, {"npgettext", plural},  {"dngettext", plural},
    {"dnpgettext", plural}, {"pgettext", context}, {"dpgettext", context}, {"C_", context},
    {"NC_", context},       {"dgettext", domain},
};

const char *reason_of(const MarkedCall &call) noexcept {
    switch (call.kind) {
    case CallKind::literal:
        return nullptr;
    case CallKind::not_literal:
        return "the message is not a string literal";
    case CallKind::f_string:
        return "the message is an f-string";
    case CallKind::bytes:
        return "the message is a bytes literal";
    case CallKind::no_argument:
        return "no message";
    case CallKind::unsupported:
        break;
    }
    for (const ReportedMarker &marker : reported_markers) {
        if (call.name == marker.name) {
            return marker.reason;
        }
    }
    return "not a marker the catalogue can hold";
}

/// `\N{...}` through unicodedata.lookup, which also knows the named sequences that a literal
/// refuses.
class HostCharacterNames final : public CharacterNames {
  public:
    int find(std::string_view name, char32_t &code) override {
        Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
        if (!text) {
            return -1;
        }
        Ref found = Ref::steal(PyObject_CallOneArg(character_lookup, text.get()));
        if (!found) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        if (!PyUnicode_Check(found.get()) || PyUnicode_GET_LENGTH(found.get()) != 1) {
            return 0;
        }
        code = PyUnicode_READ_CHAR(found.get(), 0);
        return 1;
    }
};

/// The message of a literal call, or an empty Ref with no exception set and `error` filled when
/// Python would refuse the literal.
Ref message_of(std::string_view text, const LexedCalls &found, const MarkedCall &call,
               std::string &buffer, std::string &error) {
    HostCharacterNames character_names;
    buffer.clear();
    for (size_t i = call.first_piece; i < call.first_piece + call.piece_count; ++i) {
        const Piece &piece = found.pieces[i];
        int done = evaluate_literal(text.substr(piece.begin, piece.end - piece.begin), piece.raw,
                                    character_names, buffer, error);
        if (done <= 0) {
            return {};
        }
    }
    return Ref::steal(PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(buffer.size()),
                                           "surrogatepass"));
}

/// True when UTF-8 text written with "surrogatepass" holds a surrogate (ED A0..BF ..).
bool has_lone_surrogate(std::string_view text) noexcept {
    for (size_t i = text.find('\xED'); i != std::string_view::npos; i = text.find('\xED', i + 1)) {
        if (i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0) {
            return true;
        }
    }
    return false;
}

/// Adds (filename, line, marker, reason) to `skipped`.
int report(PyObject *skipped, PyObject *filename, const MarkedCall &call, const char *reason,
           const std::string &detail) {
    Ref marker = Ref::steal(PyUnicode_DecodeUTF8(
        call.name.data(), static_cast<Py_ssize_t>(call.name.size()), "surrogateescape"));
    Ref why = Ref::steal(detail.empty() ? PyUnicode_FromString(reason)
                                        : PyUnicode_FromFormat("%s: %s", reason, detail.c_str()));
    Ref entry = marker && why ? Ref::steal(Py_BuildValue("(OnOO)", filename,
                                                         static_cast<Py_ssize_t>(call.line),
                                                         marker.get(), why.get()))
                              : Ref();
    return entry ? PyList_Append(skipped, entry.get()) : -1;
}

int scan(ExtractorObject *self, PyObject *filename, PyObject *cache) {
    SourceText source;
    if (read_source(filename, source) < 0) {
        return -1;
    }
    const std::string_view text = source.view();
    LexedCalls found;
    find_marked_calls(text, *self->markers, found);
    // The cache's keys and entries may run host code, which may change this extractor's lists:
    // what is read from here on is the text and the calls found, which no host code reaches.
    Ref skipped = Ref::borrow(self->skipped);
    if (!skipped) {
        PyErr_SetString(PyExc_ValueError, "the extractor was cleared");
        return -1;
    }
    std::string buffer, error;
    Ref position;
    size_t position_line = 0;
    for (const MarkedCall &call : found.calls) {
        if (call.kind != CallKind::literal) {
            if (report(skipped.get(), filename, call, reason_of(call), {}) < 0) {
                return -1;
            }
            continue;
        }
        error.clear();
        Ref message = message_of(text, found, call, buffer, error);
        if (!message) {
            if (PyErr_Occurred() ||
                report(skipped.get(), filename, call, "the literal is not valid", error) < 0) {
                return -1;
            }
            continue;
        }
        // An empty message matches no lookup and has no row: the catalogue's rows need one.
        // A lone surrogate (from an escape) cannot be written to a UTF-8 catalogue.
        const char *unusable = PyUnicode_GET_LENGTH(message.get()) == 0 ? "the message is empty"
                               : has_lone_surrogate(buffer)
                                   ? "the message holds a lone surrogate, which UTF-8 cannot store"
                                   : nullptr;
        if (unusable != nullptr) {
            if (report(skipped.get(), filename, call, unusable, {}) < 0) {
                return -1;
            }
            continue;
        }
        if (!position || position_line != call.line) {
            position = extract::position_text(filename, static_cast<Py_ssize_t>(call.line));
            position_line = call.line;
            if (!position) {
                return -1;
            }
        }
        if (extract::record(cache, position.get(), message.get()) < 0) {
            return -1;
        }
        ++self->calls;
    }
    ++self->files;
    return 0;
}

PyObject *extractor_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) noexcept {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    if (count != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError,
                     "Extractor() takes exactly 2 positional arguments (source_filename, cache)");
        return nullptr;
    }
    if (!PyUnicode_CheckExact(args[0]) || !PyDict_CheckExact(args[1])) {
        PyErr_Format(PyExc_TypeError, "Extractor() takes a str and a dict, not %.100s and %.100s",
                     Py_TYPE(args[0])->tp_name, Py_TYPE(args[1])->tp_name);
        return nullptr;
    }
    host::RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    try {
        Ref self = Ref::borrow(callable);
        return scan(as_extractor(self.get()), args[0], args[1]) < 0 ? nullptr
                                                                    : Py_NewRef(Py_None);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

/// `Extractor(keywords=("_", "N_"))`: the names whose calls mark a message.
PyObject *extractor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords_list[] = {"keywords", nullptr};
    PyObject *given = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Extractor",
                                     const_cast<char **>(keywords_list), &given)) {
        return nullptr;
    }
    Ref keywords = given != nullptr ? Ref::steal(PySequence_Tuple(given))
                                    : Ref::steal(Py_BuildValue("(ss)", "_", "N_"));
    if (!keywords) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    ExtractorObject *extractor = as_extractor(self.get());
    extractor->vectorcall = extractor_vectorcall;
    extractor->keywords = Py_NewRef(keywords.get());
    extractor->skipped = PyList_New(0);
    if (extractor->skipped == nullptr) {
        return nullptr;
    }
    try {
        extractor->markers = new MarkerNames();
        for (const ReportedMarker &marker : reported_markers) {
            extractor->markers->add(marker.name, MarkerNames::unsupported);
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords.get()); ++i) {
            PyObject *name = PyTuple_GET_ITEM(keywords.get(), i);
            if (!PyUnicode_Check(name) || !PyUnicode_IsIdentifier(name)) {
                PyErr_Format(PyExc_ValueError, "not a name a call can be made by: %R", name);
                return nullptr;
            }
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) {
                return nullptr;
            }
            extractor->markers->add(std::string_view(utf8, static_cast<size_t>(size)),
                                    MarkerNames::keyword);
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    return self.release();
}

int extractor_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_extractor(self)->keywords);
    Py_VISIT(as_extractor(self)->skipped);
    return 0;
}

int extractor_clear(PyObject *self) noexcept {
    Py_CLEAR(as_extractor(self)->keywords);
    Py_CLEAR(as_extractor(self)->skipped);
    return 0;
}

void extractor_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    extractor_clear(self);
    delete as_extractor(self)->markers;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_keywords(PyObject *self, void *) noexcept {
    return Py_NewRef(as_extractor(self)->keywords);
}

PyObject *get_skipped(PyObject *self, void *) noexcept {
    PyObject *skipped = as_extractor(self)->skipped;
    return skipped != nullptr ? Py_NewRef(skipped) : PyList_New(0);
}

PyObject *get_calls(PyObject *self, void *) noexcept {
    return PyLong_FromSsize_t(as_extractor(self)->calls);
}

PyObject *get_files(PyObject *self, void *) noexcept {
    return PyLong_FromSsize_t(as_extractor(self)->files);
}

PyGetSetDef extractor_getset[] = {
    {"keywords", get_keywords, nullptr, nullptr, nullptr},
    {"skipped", get_skipped, nullptr, nullptr, nullptr},
    {"calls", get_calls, nullptr, nullptr, nullptr},
    {"files", get_files, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef extractor_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ExtractorObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot extractor_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(extractor_new)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(extractor_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(extractor_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(extractor_dealloc)},
    {Py_tp_getset, extractor_getset},
    {Py_tp_members, extractor_members},
    {0, nullptr},
};

PyType_Spec extractor_spec = {
    .name = "qel_i18n_tools._native.Extractor",
    .basicsize = sizeof(ExtractorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = extractor_slots,
};

} // namespace

Ref make_extractor_type() noexcept {
    if (character_lookup == nullptr) {
        Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
        Ref lookup = unicodedata ? Ref::steal(PyObject_GetAttrString(unicodedata.get(), "lookup"))
                                 : Ref();
        if (!lookup) {
            return {};
        }
        character_lookup = lookup.release();
    }
    Ref type = Ref::steal(PyType_FromSpec(&extractor_spec));
    if (type) {
        Py_XSETREF(extractor_type, reinterpret_cast<PyTypeObject *>(Py_NewRef(type.get())));
    }
    return type;
}

} // namespace qel_i18n::tools
