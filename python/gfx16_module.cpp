// The Python module gfx16: the codec library's calls on numpy arrays.
//
// Arrays come in as uint8 and nothing else: a float picture (0 to 1, or 0
// to 255) or a 16-bit one converted quietly would give a carrier of the
// wrong colours, so every other dtype is refused with the reason. The
// layout in memory is the caller's business: an array that is not
// C-contiguous (a slice, a flipped view, Fortran order) is copied once, its
// values unchanged. The library works with the GIL released, on buffers the
// module holds references to.
#include <gfx16/codec.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <new>
#include <string>

namespace py = pybind11;

namespace {

using Bytes = py::array_t<std::uint8_t, py::array::c_style>;

[[noreturn]] void raise(int status, const std::string &what = "")
{
    std::string reason = what.empty() ? gfx16_strerror(status) : what + ": " + gfx16_strerror(status);
    PyErr_SetString(status == GFX16_ENOMEM ? PyExc_MemoryError : PyExc_ValueError, reason.c_str());
    throw py::error_already_set();
}

void check(int status)
{
    if (status != GFX16_OK)
        raise(status);
}

std::string type_name(const py::handle &object)
{
    py::handle type = py::type::handle_of(object);
    std::string module = py::str(type.attr("__module__"));
    std::string name = py::str(type.attr("__qualname__"));
    return module == "builtins" ? name : module + "." + name;
}

std::string describe(const py::array &a)
{
    std::string shape;
    for (py::ssize_t i = 0; i < a.ndim(); i++)
        shape += (i ? " x " : "") + std::to_string(a.shape(i));
    if (a.ndim() == 0)
        shape = "0-dimensional";
    return "a " + shape + " array of " + std::string(py::str(a.dtype()));
}

// The array `name` as C-contiguous uint8 with `ndim` dimensions (and 3
// channels when `channels`), or a ValueError that says what came instead.
Bytes take(const py::handle &object, const char *name, int ndim, bool channels)
{
    const char *wanted = channels ? "an H x W x 3 array of uint8" : "a 2H x W array of uint8";
    if (!py::isinstance<py::array>(object))
        throw py::type_error(std::string(name) + ": " + wanted + " expected, not " + type_name(object));
    auto array = py::reinterpret_borrow<py::array>(object);
    bool bytes = array.dtype().kind() == 'u' && array.itemsize() == 1;
    if (!bytes || array.ndim() != ndim || (channels && array.shape(2) != 3))
        throw py::value_error(std::string(name) + ": " + wanted + " expected, not " + describe(array));
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
        raise(GFX16_EINVAL, std::string(name) + ": " + describe(array));
    // Checked above: a copy, if one is needed, can fail for want of memory alone.
    Bytes contiguous = Bytes::ensure(array);
    if (!contiguous)
        raise(GFX16_ENOMEM, std::string(name) + ": a contiguous copy of " + describe(array));
    return contiguous;
}

py::object encode(const py::handle &rgb_object, bool best, bool dither, bool preview)
{
    if (dither && !best)
        throw py::value_error("dither goes with best: it carries the error of the nearest codes");
    Bytes rgb = take(rgb_object, "rgb", 3, true);
    const int h = static_cast<int>(rgb.shape(0)), w = static_cast<int>(rgb.shape(1));
    if (gfx16_carrier_bytes(w, h) == 0)
        raise(GFX16_EINVAL, "rgb: " + describe(rgb));
    Bytes carrier({2 * static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w)});
    Bytes shown = preview ? Bytes({rgb.shape(0), rgb.shape(1), py::ssize_t{3}}) : Bytes();
    const std::uint8_t *in = rgb.data();
    std::uint8_t *out = carrier.mutable_data(), *out_preview = preview ? shown.mutable_data() : nullptr;
    auto encoder = !best ? gfx16_encode : dither ? gfx16_encode_dithered : gfx16_encode_best;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = encoder(in, w, h, out, out_preview);
    }
    check(status);
    if (preview)
        return py::make_tuple(carrier, shown);
    return std::move(carrier);
}

Bytes decode(const py::handle &carrier_object)
{
    Bytes carrier = take(carrier_object, "carrier", 2, false);
    const int carrier_h = static_cast<int>(carrier.shape(0)), w = static_cast<int>(carrier.shape(1));
    if (gfx16_picture_bytes(w, carrier_h / 2) == 0)
        raise(GFX16_EINVAL, "carrier: " + describe(carrier));
    Bytes rgb({static_cast<py::ssize_t>(carrier_h / 2), static_cast<py::ssize_t>(w), py::ssize_t{3}});
    const std::uint8_t *in = carrier.data();
    std::uint8_t *out = rgb.mutable_data();
    int status;
    {
        py::gil_scoped_release unlocked;
        status = gfx16_decode(in, w, carrier_h, out);
    }
    check(status);
    return rgb;
}

py::tuple decode_code(long long code)
{
    if (code < 0 || code > 0xffff)
        throw py::value_error("code: 0 to 65535 expected, not " + std::to_string(code));
    unsigned char rgb[3];
    gfx16_decode_code(static_cast<unsigned>(code), rgb);
    return py::make_tuple(rgb[0], rgb[1], rgb[2]);
}

// The BMP's bytes as the library hands them out; a string that cannot grow
// stops taking them, and the call then raises MemoryError.
struct Collected {
    std::string bytes;
    bool out_of_memory = false;
};

void collect(void *context, const void *data, size_t size)
{
    auto *collected = static_cast<Collected *>(context);
    if (collected->out_of_memory)
        return;
    try {
        collected->bytes.append(static_cast<const char *>(data), size);
    } catch (const std::bad_alloc &) {
        collected->out_of_memory = true;
    }
}

py::bytes carrier_to_bmp(const py::handle &carrier_object)
{
    Bytes carrier = take(carrier_object, "carrier", 2, false);
    const int carrier_h = static_cast<int>(carrier.shape(0)), w = static_cast<int>(carrier.shape(1));
    const std::uint8_t *in = carrier.data();
    Collected collected;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = gfx16_carrier_to_bmp(in, w, carrier_h, collect, &collected);
    }
    check(status);
    if (collected.out_of_memory)
        raise(GFX16_ENOMEM);
    return py::bytes(collected.bytes);
}

// The bytes of any object with a contiguous buffer (bytes, bytearray,
// memoryview, mmap), held while the library reads them without the GIL.
class Buffer {
public:
    explicit Buffer(const py::handle &object)
    {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw py::type_error("data: the bytes of a BMP file expected, not " + type_name(object));
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    const void *data() const { return view_.buf; }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_;
};

Bytes carrier_from_bmp(const py::handle &data)
{
    Buffer bmp(data);
    // The header's sizes first (a call with no room for the indices), then
    // the indices into an array of that size.
    int w = 0, carrier_h = 0, status;
    unsigned char no_room;
    {
        py::gil_scoped_release unlocked;
        status = gfx16_carrier_from_bmp(bmp.data(), bmp.size(), &no_room, 0, &w, &carrier_h);
    }
    if (status != GFX16_OK && (status != GFX16_EINVAL || w < 1 || carrier_h < 1))
        raise(status, "data");
    Bytes carrier({static_cast<py::ssize_t>(carrier_h), static_cast<py::ssize_t>(w)});
    std::uint8_t *out = carrier.mutable_data();
    {
        py::gil_scoped_release unlocked;
        status = gfx16_carrier_from_bmp(bmp.data(), bmp.size(), out, static_cast<size_t>(carrier.size()), &w,
                                        &carrier_h);
    }
    if (status != GFX16_OK)
        raise(status, "data");
    return carrier;
}

} // namespace

PYBIND11_MODULE(gfx16, m)
{
    m.doc() = "gfx16: true-colour pictures as 16-bit packed HSV codes in an 8-bit carrier twice as high.\n\n"
              "Pictures are H x W x 3 numpy arrays of uint8 (red, green, blue); carriers 2H x W arrays of\n"
              "uint8, row 2y the low bytes of the codes of picture row y, row 2y + 1 their high bytes.\n"
              "Other dtypes and shapes raise ValueError; arrays that are not C-contiguous are copied.";
    m.attr("__version__") = gfx16_version();
    m.def("encode", &encode, py::arg("rgb"), py::arg("best") = false, py::arg("dither") = false,
          py::arg("preview") = false,
          "The carrier of an H x W x 3 picture: a 2H x W array, and with preview=True a tuple\n"
          "(carrier, preview), the preview an H x W x 3 array. best: every pixel the code that decodes\n"
          "nearest to it, instead of the format's own dithered encoder (then the preview is the decoded\n"
          "carrier); dither (with best): each pixel's error carried on to its neighbours.");
    m.def("decode", &decode, py::arg("carrier"),
          "The H x W x 3 picture of a 2H x W carrier (an odd last row is ignored).");
    m.def("decode_code", &decode_code, py::arg("code"), "The colour (red, green, blue) of a code, 0 to 65535.");
    m.def("carrier_to_bmp", &carrier_to_bmp, py::arg("carrier"),
          "The bytes of the 8-bit BMP file of a carrier, as gfx16conv writes it.");
    m.def("carrier_from_bmp", &carrier_from_bmp, py::arg("data"),
          "The carrier held in the bytes of a paletted BMP file (1, 4 or 8 bits, RLE, top-down).");
}
