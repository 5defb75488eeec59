// Loading a motion clip: <current_dir>/assets/motion_npz/<file>.npz.
//
// Loading is all or nothing: the archive is opened and every member and the
// frame count are fetched before anything is stored.  On failure the archive
// just opened is closed and the instance keeps its previous clip and `motion`.

#include "motion_env_wbt/environment.hpp"
#include "runtime/numpy_api.hpp"
#include "runtime/ops.hpp"

#include <iterator>
#include <vector>

namespace motion_env_wbt {

using namespace ts;

namespace {

// Archive members in the order they are stored, and the attribute suffixes.
struct Member {
    const char* key;
    const char* suffix;
};
constexpr Member clip_members[] = {
    {"fps", "_fps"},
    {"joint_pos", "_joint_pos"},
    {"joint_vel", "_joint_vel"},
    {"body_pos_w", "_body_pos_w"},
    {"body_quat_w", "_body_quat_w"},
    {"body_lin_vel_w", "_body_lin_vel_w"},
    {"body_ang_vel_w", "_body_ang_vel_w"},
};

// One pending setattr(self, name, value).
struct Pending {
    Ref setattr;
    Ref name;
    Ref value;
};

// format(self.file, '') + suffix
Ref clip_attribute_name(PyObject* self, const char* suffix) {
    Ref file = attr(self, TS_ID("file"));
    Ref text = format_text(file.get());
    Ref tail = py_str(suffix);
    return add(text.get(), tail.get());
}

// Close an archive abandoned by a failed load, keeping the pending error.
void close_abandoned(PyObject* archive) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* close = nullptr;
    if (ts::lookup_attr(archive, TS_ID("close"), &close) < 0) {
        PyErr_WriteUnraisable(archive);
    } else if (close) {
        PyObject* r = PyObject_CallNoArgs(close);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(close);
        Py_DECREF(close);
    }
    PyErr_Restore(type, value, tb);
}

// numpy.lib.npyio.NpzFile, what np.load returns for an archive.
PyTypeObject* npz_file_type() {
    static PyTypeObject* type = [] {
        PyObject* module = PyImport_ImportModule("numpy.lib.npyio");
        PyObject* cls = module ? PyObject_GetAttrString(module, "NpzFile") : nullptr;
        Py_XDECREF(module);
        if (!cls || !PyType_Check(cls)) {
            PyErr_Clear();
            Py_XDECREF(cls);
            return static_cast<PyTypeObject*>(nullptr);
        }
        return reinterpret_cast<PyTypeObject*>(cls);  // kept for the process
    }();
    return type;
}

std::vector<Pending> fetch_clip(Call& c, PyObject* self, PyObject* archive) {
    std::vector<Pending> out;
    out.reserve(std::size(clip_members) + 1);
    for (const Member& m : clip_members) {
        Pending p;
        p.setattr = c.global(TS_ID("setattr"));
        p.name = clip_attribute_name(self, m.suffix);
        Ref key = py_str(m.key);
        p.value = item(archive, key.get());
        out.push_back(std::move(p));
    }
    Pending total;
    total.setattr = c.global(TS_ID("setattr"));
    total.name = clip_attribute_name(self, "_time_step_total");
    // NumPy's own archive reads the same member again from the same open
    // file, so the array just read gives the same first dimension.
    PyObject* first = out[1].value.get();
    if (Py_TYPE(archive) == npz_file_type() && PyArray_CheckExact(first) &&
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(first)) >= 1) {
        total.value = Ref::steal(PyLong_FromSsize_t(PyArray_DIM(reinterpret_cast<PyArrayObject*>(first), 0)));
    } else {
        Ref joint_pos = item(archive, TS_ID("joint_pos"));
        Ref shape = attr(joint_pos, TS_ID("shape"));
        total.value = item(shape.get(), Py_ssize_t{0});
    }
    out.push_back(std::move(total));
    return out;
}

}  // namespace

Ref load_motion(Call& c) {
    PyObject* self = c.arg(0);
    Ref load = attr(c.global(TS_ID("np")), TS_ID("load"));
    Ref dir = attr(self, TS_ID("current_dir"));
    Ref path = format_text(dir.get());
    Ref middle = py_str("/assets/motion_npz/");
    path = add(path.get(), middle.get());
    Ref file = attr(self, TS_ID("file"));
    Ref name = format_text(file.get());
    path = add(path.get(), name.get());
    Ref extension = py_str(".npz");
    path = add(path.get(), extension.get());

    // np.load with its defaults only: pickled content is refused.
    Ref archive = call(load, {path.get()});
    std::vector<Pending> pending;
    try {
        pending = fetch_clip(c, self, archive.get());
    } catch (...) {
        close_abandoned(archive.get());
        throw;
    }

    set_attr(self, TS_ID("motion"), archive);
    for (const Pending& p : pending) call(p.setattr, {self, p.name.get(), p.value.get()});
    return none();
}

}  // namespace motion_env_wbt
