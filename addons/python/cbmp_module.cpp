// cbmp._core: the core library's operations for Python.
//
// compress(data) -> bytes, decompress(data) -> bytes and info(data) -> Info take any object with
// the buffer protocol; compress_file(src, dst) and decompress_file(src, dst) work between files
// through the core library's safe output (an output is replaced only once it is complete). The
// GIL is released while the core works, so threads run in parallel; the caller's buffer stays
// exported (a bytearray cannot be resized) until the call returns. Every failure raises
// cbmp.Error, whose `code` is the core's result code and `text` its description. results() lists
// the codes that the library knows, with their names and texts, for the package's Result enum.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "core/cbmpcore.h"

namespace {

PyObject* g_error_type = nullptr;  // owned by the module from its initialisation on
PyTypeObject* g_info_type = nullptr;
// The package's Result enum, once the package has registered it (until then codes are ints).
PyObject* g_result_type = nullptr;

// The names of the result codes, taken from core/cbmpcore.h when the module is built: each entry
// names an enumerator, so a name that the header no longer has does not compile.
struct ResultName {
    const char* name;
    cbmpcore_result code;
};
constexpr ResultName kResultNames[] = {
#include "result_names.inc"
};

// The text the library gives for every value that is not one of its codes.
constexpr const char* kUnknownResultText = "Unknown error";

struct BufferRelease {
    void operator()(Py_buffer* view) const { PyBuffer_Release(view); }
};

struct CoreFree {
    void operator()(std::uint8_t* p) const { cbmpcore_free(p); }
};

struct Unref {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using Ref = std::unique_ptr<PyObject, Unref>;

// The result code as Python sees it: a member of cbmp.Result once the package has registered the
// enum, a plain int before.
PyObject* result_object(cbmpcore_result result) {
    Ref code(PyLong_FromLong(static_cast<long>(result)));
    if (code == nullptr || g_result_type == nullptr) {
        return code.release();
    }
    PyObject* member = PyObject_CallOneArg(g_result_type, code.get());
    if (member == nullptr) {
        PyErr_Clear();  // a code that the enum does not know stays an int
        return code.release();
    }
    return member;
}

// Raises cbmp.Error(text) with the attributes code and text.
PyObject* raise_core_error(cbmpcore_result result) {
    const char* text = cbmpcore_result_text(result);
    Ref exception(PyObject_CallFunction(g_error_type, "s", text));
    if (exception == nullptr) {
        return nullptr;
    }
    Ref code(result_object(result));
    Ref message(PyUnicode_FromString(text));
    if (code == nullptr || message == nullptr ||
        PyObject_SetAttrString(exception.get(), "code", code.get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "text", message.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(g_error_type, exception.get());
    return nullptr;
}

// threads=: an int from 0 (one thread per core) to the largest unsigned value. Anything else is
// refused rather than wrapped around: ValueError below 0, OverflowError above the range.
bool parse_threads(PyObject* object, unsigned* threads) {
    *threads = 0;
    if (object == nullptr) {
        return true;
    }
    Ref index(PyNumber_Index(object));  // TypeError for floats, strings, ...
    if (index == nullptr) {
        return false;
    }
    Ref zero(PyLong_FromLong(0));
    if (zero == nullptr) {
        return false;
    }
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) {
        return false;
    }
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "threads must be 0 (one per core) or more");
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred() != nullptr || value > UINT_MAX) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "threads must be at most %u", UINT_MAX);
        return false;
    }
    *threads = static_cast<unsigned>(value);
    return true;
}

using Operation = cbmpcore_result (*)(const std::uint8_t*, std::size_t, std::uint8_t**,
                                      std::size_t*, const cbmpcore_options*);

// One whole-file operation over the bytes of `arg`, without the GIL. On success `out` owns the
// library's buffer of `out_size` bytes.
bool run_operation(PyObject* arg, Operation operation, unsigned threads,
                   std::unique_ptr<std::uint8_t, CoreFree>& out, std::size_t& out_size) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) {
        return false;
    }
    std::unique_ptr<Py_buffer, BufferRelease> held(&view);
    cbmpcore_options options{};
    options.threads = threads;
    std::uint8_t* result_buffer = nullptr;
    cbmpcore_result result;
    Py_BEGIN_ALLOW_THREADS;
    result = operation(static_cast<const std::uint8_t*>(view.buf),
                       static_cast<std::size_t>(view.len), &result_buffer, &out_size, &options);
    Py_END_ALLOW_THREADS;
    if (result != CBMPCORE_OK) {
        raise_core_error(result);
        return false;
    }
    out.reset(result_buffer);
    return true;
}

PyObject* bytes_result(PyObject* arg, Operation operation, unsigned threads) {
    std::unique_ptr<std::uint8_t, CoreFree> out;
    std::size_t out_size = 0;
    if (!run_operation(arg, operation, threads, out, out_size)) {
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.get()),
                                     static_cast<Py_ssize_t>(out_size));
}

PyObject* compress(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "threads", nullptr};
    PyObject* data = nullptr;
    PyObject* threads_arg = nullptr;
    unsigned threads = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:compress", const_cast<char**>(keywords),
                                     &data, &threads_arg) ||
        !parse_threads(threads_arg, &threads)) {
        return nullptr;
    }
    return bytes_result(data, cbmpcore_compress, threads);
}

PyObject* decompress(PyObject*, PyObject* data) {
    return bytes_result(data, cbmpcore_decompress, 0);
}

// A decoded BMP file held in the library's own buffer and lent out read-only through the buffer
// protocol, so that a reader (the Pillow plugin) uses it without a second copy.
struct Decoded {
    PyObject ob_base;  // what PyObject_HEAD declares
    std::uint8_t* data;
    Py_ssize_t size;
};

int decoded_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* decoded = reinterpret_cast<Decoded*>(self);
    return PyBuffer_FillInfo(view, self, decoded->data, decoded->size, 1, flags);
}

void decoded_dealloc(PyObject* self) {
    cbmpcore_free(reinterpret_cast<Decoded*>(self)->data);
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs decoded_buffer = {decoded_getbuffer, nullptr};

// A static type, made ready once when the module is first imported (init_module).
PyTypeObject decoded_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "cbmp._core.Decoded";
    type.tp_basicsize = sizeof(Decoded);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_dealloc = decoded_dealloc;
    type.tp_as_buffer = &decoded_buffer;
    type.tp_doc = "A decoded BMP file, read through memoryview().";
    return type;
}();

PyObject* decode(PyObject*, PyObject* data) {
    std::unique_ptr<std::uint8_t, CoreFree> out;
    std::size_t out_size = 0;
    if (!run_operation(data, cbmpcore_decompress, 0, out, out_size)) {
        return nullptr;
    }
    auto* decoded = PyObject_New(Decoded, &decoded_type);
    if (decoded == nullptr) {
        return nullptr;
    }
    decoded->data = out.release();
    decoded->size = static_cast<Py_ssize_t>(out_size);
    return reinterpret_cast<PyObject*>(decoded);
}

using FileOperation = cbmpcore_result (*)(const char*, const char*, const cbmpcore_options*);

// compress_file and decompress_file: paths as str, bytes or os.PathLike, without the GIL.
PyObject* run_on_files(PyObject* args, PyObject* kwargs, FileOperation operation,
                       bool takes_threads, const char* format) {
    static const char* with_threads[] = {"src", "dst", "threads", "durable", nullptr};
    static const char* without_threads[] = {"src", "dst", "durable", nullptr};
    PyObject* src = nullptr;
    PyObject* dst = nullptr;
    PyObject* threads_arg = nullptr;
    int durable = 0;
    const bool parsed =
        takes_threads
            ? PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(with_threads),
                                          PyUnicode_FSConverter, &src, PyUnicode_FSConverter, &dst,
                                          &threads_arg, &durable)
            : PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(without_threads),
                                          PyUnicode_FSConverter, &src, PyUnicode_FSConverter, &dst,
                                          &durable);
    Ref src_bytes(src);
    Ref dst_bytes(dst);
    cbmpcore_options options{};
    if (!parsed || !parse_threads(threads_arg, &options.threads)) {
        return nullptr;
    }
    options.durable = durable;
    const char* src_path = PyBytes_AS_STRING(src);
    const char* dst_path = PyBytes_AS_STRING(dst);
    cbmpcore_result result;
    Py_BEGIN_ALLOW_THREADS;
    result = operation(src_path, dst_path, &options);
    Py_END_ALLOW_THREADS;
    if (result != CBMPCORE_OK) {
        return raise_core_error(result);
    }
    Py_RETURN_NONE;
}

PyObject* compress_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_on_files(args, kwargs, cbmpcore_compress_file, true, "O&O&|$Op:compress_file");
}

PyObject* decompress_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_on_files(args, kwargs, cbmpcore_decompress_file, false, "O&O&|$p:decompress_file");
}

PyObject* info(PyObject*, PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    std::unique_ptr<Py_buffer, BufferRelease> held(&view);
    cbmpcore_info header{};
    cbmpcore_result result = cbmpcore_read_info(static_cast<const std::uint8_t*>(view.buf),
                                                static_cast<std::size_t>(view.len), &header);
    if (result != CBMPCORE_OK) {
        return raise_core_error(result);
    }
    PyObject* record = PyStructSequence_New(g_info_type);
    if (record == nullptr) {
        return nullptr;
    }
    PyObject* values[] = {
        PyLong_FromLong(header.width),
        PyLong_FromLong(header.height),
        PyLong_FromUnsignedLong(header.bit_count),
        PyLong_FromUnsignedLong(header.compression),
        PyLong_FromUnsignedLong(header.colors_used),
        PyLong_FromUnsignedLong(header.info_header_size),
        PyLong_FromUnsignedLong(header.planes),
        PyLong_FromUnsignedLong(header.image_size),
        PyLong_FromLong(header.x_pixels_per_meter),
        PyLong_FromLong(header.y_pixels_per_meter),
        PyLong_FromUnsignedLong(header.colors_important),
        PyLong_FromUnsignedLong(header.compressed_size),
        PyLong_FromUnsignedLong(header.original_size),
        PyLong_FromUnsignedLong(header.palette_size),
        PyLong_FromUnsignedLongLong(header.bmp_size),
    };
    bool complete = true;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(values)); ++i) {
        complete = complete && values[i] != nullptr;
        PyStructSequence_SetItem(record, i, values[i]);  // steals the reference, null included
    }
    if (!complete) {
        Py_DECREF(record);
        return nullptr;
    }
    return record;
}

// results() -> [(name, code, text)]: every code that the library answers with a text of its own,
// from 0 up to the first that it calls unknown, named as core/cbmpcore.h names it.
PyObject* results(PyObject*, PyObject*) {
    Ref list(PyList_New(0));
    if (list == nullptr) {
        return nullptr;
    }
    constexpr int kMostCodes = 4096;  // far beyond any table; only a guard against a broken one
    for (int value = 0; value < kMostCodes; ++value) {
        const auto code = static_cast<cbmpcore_result>(value);
        const char* text = cbmpcore_result_text(code);
        if (text == nullptr || std::strcmp(text, kUnknownResultText) == 0) {
            break;
        }
        std::string name = "CODE_" + std::to_string(value);  // a code newer than the header
        for (const ResultName& known : kResultNames) {
            if (known.code == code) {
                name = known.name;
            }
        }
        Ref entry(Py_BuildValue("(sis)", name.c_str(), value, text));
        if (entry == nullptr || PyList_Append(list.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

// _set_result_type(enum): from now on cbmp.Error.code is a member of `enum`.
PyObject* set_result_type(PyObject*, PyObject* type) {
    Py_XSETREF(g_result_type, Py_NewRef(type));
    Py_RETURN_NONE;
}

PyObject* version(PyObject*, PyObject*) {
    return PyUnicode_FromString(cbmpcore_version());
}

PyStructSequence_Field info_fields[] = {
    {"width", "width in pixels"},
    {"height", "height in pixels, negative for a top-down bitmap"},
    {"bit_count", "bits per pixel"},
    {"compression", "the bitmap's own compression code (0 none, 1 RLE8, 2 RLE4, 3 bit fields)"},
    {"colors_used", "colour table entries used, 0 for all"},
    {"info_header_size", "size of the bitmap's info header as it states it"},
    {"planes", "plane count"},
    {"image_size", "image size as the info header states it"},
    {"x_pixels_per_meter", "horizontal resolution"},
    {"y_pixels_per_meter", "vertical resolution"},
    {"colors_important", "important colour table entries"},
    {"compressed_size", "bytes of the compressed stream"},
    {"original_size", "bytes of colour table and pixels together"},
    {"palette_size", "bytes of the colour table"},
    {"bmp_size", "bytes of the BMP file that decompress() gives"},
    {nullptr, nullptr},
};

PyStructSequence_Desc info_desc = {
    "cbmp.Info", "What a CBMP file's header says, read without decoding the image.", info_fields,
    15};

PyMethodDef methods[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress)),
     METH_VARARGS | METH_KEYWORDS,
     "compress(data, *, threads=0) -> bytes\n\nCompresses a whole BMP file held in a bytes-like "
     "object into a CBMP file. threads: compression threads, 0 for one per core."},
    {"decompress", decompress, METH_O,
     "decompress(data) -> bytes\n\nDecompresses a whole CBMP file into the BMP file."},
    {"compress_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_file)),
     METH_VARARGS | METH_KEYWORDS,
     "compress_file(src, dst, *, threads=0, durable=False)\n\nCompresses the BMP file `src` into "
     "the CBMP file `dst`. dst is replaced only once it is complete, so a failure leaves whatever "
     "was there. durable: dst is on the disk when the call returns (for callers that then remove "
     "src). Paths are str, bytes or os.PathLike."},
    {"decompress_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompress_file)),
     METH_VARARGS | METH_KEYWORDS,
     "decompress_file(src, dst, *, durable=False)\n\nDecompresses the CBMP file `src` into the "
     "BMP file `dst`, as compress_file."},
    {"info", info, METH_O,
     "info(data) -> Info\n\nReads a CBMP file's header (its first 60 bytes suffice) without "
     "decoding the image."},
    {"version", version, METH_NOARGS, "version() -> str: the core library's version."},
    {"results", results, METH_NOARGS,
     "results() -> [(name, code, text)]: the core library's result codes."},
    {"_set_result_type", set_result_type, METH_O, "Makes cbmp.Error.code a member of this enum."},
    {"_decode", decode, METH_O,
     "_decode(data) -> Decoded\n\nDecompresses like decompress(), into a buffer that "
     "memoryview() reads without copying it."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    g_error_type = PyErr_NewExceptionWithDoc(
        "cbmp.Error",
        "A CBMP operation failed. code: the core library's result code (a cbmp.Result); text: its "
        "description.",
        nullptr, nullptr);
    if (g_error_type == nullptr || PyModule_AddObjectRef(module, "Error", g_error_type) < 0) {
        return -1;
    }
    g_info_type = PyStructSequence_NewType(&info_desc);
    if (g_info_type == nullptr ||
        PyModule_AddObjectRef(module, "Info", reinterpret_cast<PyObject*>(g_info_type)) < 0) {
        return -1;
    }
    if (PyType_Ready(&decoded_type) < 0 ||
        PyModule_AddObjectRef(module, "Decoded", reinterpret_cast<PyObject*>(&decoded_type)) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cbmp._core",
    "The CBMP core library's in-memory operations.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) {
        return nullptr;
    }
    if (exec_module(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
