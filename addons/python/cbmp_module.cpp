// cbmp._core: the core library's in-memory operations for Python.
//
// compress(data) -> bytes, decompress(data) -> bytes and info(data) -> Info take any object with
// the buffer protocol. The GIL is released while the core works, so threads run in parallel; the
// caller's buffer stays exported (a bytearray cannot be resized) until the call returns. Every
// failure raises cbmp.Error, whose `code` is the core's result code and `text` its description.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>

#include "core/cbmpcore.h"

namespace {

PyObject* g_error_type = nullptr;  // owned by the module from its initialisation on
PyTypeObject* g_info_type = nullptr;

struct BufferRelease {
    void operator()(Py_buffer* view) const { PyBuffer_Release(view); }
};

struct CoreFree {
    void operator()(std::uint8_t* p) const { cbmpcore_free(p); }
};

// Raises cbmp.Error(text) with the attributes code and text.
PyObject* raise_core_error(cbmpcore_result result) {
    const char* text = cbmpcore_result_text(result);
    PyObject* exception = PyObject_CallFunction(g_error_type, "s", text);
    if (exception == nullptr) {
        return nullptr;
    }
    PyObject* code = PyLong_FromLong(static_cast<long>(result));
    PyObject* message = PyUnicode_FromString(text);
    if (code == nullptr || message == nullptr ||
        PyObject_SetAttrString(exception, "code", code) < 0 ||
        PyObject_SetAttrString(exception, "text", message) < 0) {
        Py_XDECREF(code);
        Py_XDECREF(message);
        Py_DECREF(exception);
        return nullptr;
    }
    Py_DECREF(code);
    Py_DECREF(message);
    PyErr_SetObject(g_error_type, exception);
    Py_DECREF(exception);
    return nullptr;
}

using Operation = cbmpcore_result (*)(const std::uint8_t*, std::size_t, std::uint8_t**,
                                      std::size_t*, const cbmpcore_options*);

// One whole-file operation over the bytes of `arg`, without the GIL.
PyObject* run_operation(PyObject* arg, Operation operation, unsigned threads) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    std::unique_ptr<Py_buffer, BufferRelease> held(&view);
    cbmpcore_options options{};
    options.threads = threads;
    std::uint8_t* out = nullptr;
    std::size_t out_size = 0;
    cbmpcore_result result;
    Py_BEGIN_ALLOW_THREADS result =
        operation(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len),
                  &out, &out_size, &options);
    Py_END_ALLOW_THREADS if (result != CBMPCORE_OK) {
        return raise_core_error(result);
    }
    std::unique_ptr<std::uint8_t, CoreFree> owned(out);
    held.reset();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(owned.get()),
                                     static_cast<Py_ssize_t>(out_size));
}

PyObject* compress(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "threads", nullptr};
    PyObject* data = nullptr;
    unsigned int threads = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$I:compress", const_cast<char**>(keywords),
                                     &data, &threads)) {
        return nullptr;
    }
    return run_operation(data, cbmpcore_compress, threads);
}

PyObject* decompress(PyObject*, PyObject* data) {
    return run_operation(data, cbmpcore_decompress, 0);
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
    {"info", info, METH_O,
     "info(data) -> Info\n\nReads a CBMP file's header (its first 60 bytes suffice) without "
     "decoding the image."},
    {"version", version, METH_NOARGS, "version() -> str: the core library's version."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    g_error_type = PyErr_NewExceptionWithDoc(
        "cbmp.Error",
        "A CBMP operation failed. code: the core library's result code; text: its description.",
        nullptr, nullptr);
    if (g_error_type == nullptr || PyModule_AddObjectRef(module, "Error", g_error_type) < 0) {
        return -1;
    }
    g_info_type = PyStructSequence_NewType(&info_desc);
    if (g_info_type == nullptr ||
        PyModule_AddObjectRef(module, "Info", reinterpret_cast<PyObject*>(g_info_type)) < 0) {
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
