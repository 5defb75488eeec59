// Per-frame reference queries, stepping and reset.
//
// Every query reads `file`, `time_steps` and the index lists from the
// instance when it runs; the clip arrays are found by name, so switching
// `file` switches the clip.

#include "kernels/gather.hpp"
#include "motion_env_wbt/environment.hpp"
#include "runtime/numpy_api.hpp"
#include "runtime/ops.hpp"

#include <cstdint>

namespace motion_env_wbt {

using namespace ts;

namespace {

// format(file, '') + suffix.  A text value formats as itself and cannot
// change, so the name made for the same string object is made once.
Ref clip_name(PyObject* file, PyObject* suffix) {
    struct Made {
        Ref file, suffix, name;
    };
    static Made* made = new Made[8]();  // one per suffix; outlives finalisation
    if (!PyUnicode_CheckExact(file)) {
        Ref text = format_text(file);
        return add(text.get(), suffix);
    }
    Made* slot = nullptr;
    for (int i = 0; i < 8 && !slot; ++i)
        if (made[i].suffix.get() == suffix || !made[i].suffix) slot = &made[i];
    if (slot && slot->suffix && slot->file.get() == file) return slot->name;
    Ref name = add(file, suffix);
    if (slot) *slot = {Ref::borrow(file), Ref::borrow(suffix), name};
    return name;
}

// getattr(self, format(self.file, '') + suffix)
Ref clip_array(Call& c, PyObject* suffix) {
    static PyObject* const builtin_getattr = PyDict_GetItemString(PyEval_GetBuiltins(), "getattr");
    Ref getattr = c.global(TS_ID("getattr"));
    PyObject* self = c.arg(0);
    Ref file = attr(self, TS_ID("file"));
    Ref name = clip_name(file.get(), suffix);
    if (getattr.get() == builtin_getattr) return attr(self, name.get());
    return call(getattr, {self, name.get()});
}

bool axis_index(PyObject* o, npy_intp size, npy_intp& out);

// clip[self.time_steps]: a view into the stored clip.  For an array of two
// or more dimensions and an int in range it is the view NumPy's indexing
// makes (same dtype, strides, flags and base), made here.
Ref frame_row(Call& c, PyObject* suffix) {
    Ref a = clip_array(c, suffix);
    Ref step = attr(c.arg(0), TS_ID("time_steps"));
    npy_intp i;
    if (PyArray_CheckExact(a.get()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a.get())) >= 2 &&
        axis_index(step.get(), PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), 0), i)) {
        PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(a.get());
        PyArray_Descr* descr = PyArray_DESCR(arr);
        Py_INCREF(descr);
        Ref view = Ref::steal(PyArray_NewFromDescr(
            &PyArray_Type, descr, PyArray_NDIM(arr) - 1, PyArray_DIMS(arr) + 1,
            PyArray_STRIDES(arr) + 1, PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0),
            PyArray_FLAGS(arr), nullptr));
        Py_INCREF(a.get());
        check_int(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), a.get()));
        return view;
    }
    return item(a.get(), step.get());
}

// An exact int that indexes an axis of `size` (negative counts from the end),
// wrapped into [0, size); false otherwise, without an error set.
bool axis_index(PyObject* o, npy_intp size, npy_intp& out) {
    long long v = 0;
    if (!exact_int_in(o, -size, size - 1, v)) return false;
    out = static_cast<npy_intp>(v < 0 ? v + size : v);
    return true;
}

template <class Word>
void gather_rows(PyArrayObject* a, PyArrayObject* out, npy_intp frame, const npy_intp* rows,
                 npy_intp count) {
    const auto item = static_cast<std::ptrdiff_t>(sizeof(Word));
    const Word* base = reinterpret_cast<const Word*>(PyArray_BYTES(a));
    Word* dst = reinterpret_cast<Word*>(PyArray_BYTES(out));
    const npy_intp k = PyArray_DIM(a, 2);
    for (npy_intp j = 0; j < count; ++j)
        trackscope::kernels::gather_row(base, PyArray_STRIDE(a, 0) / item, PyArray_STRIDE(a, 1) / item,
                                        PyArray_STRIDE(a, 2) / item, frame, rows[j], k, dst + j * k);
}

// The clip as a plain 3-D array of fixed-size items with every body_index
// entry a plain int inside the body axis: the restriction a[:, body_index]
// cannot fail and runs no Python code, so a query may read its one row
// directly.
PyArrayObject* direct_clip(PyObject* clip, PyObject* bodies) {
    if (!PyArray_CheckExact(clip) || !PyList_CheckExact(bodies)) return nullptr;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(clip);
    if (PyArray_NDIM(a) != 3 || !PyArray_ISALIGNED(a) || PyDataType_REFCHK(PyArray_DESCR(a)))
        return nullptr;
    const npy_intp item = PyArray_ITEMSIZE(a);
    if (item != 1 && item != 2 && item != 4 && item != 8) return nullptr;
    for (int d = 0; d < 3; ++d)
        if (PyArray_STRIDE(a, d) % item) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bodies); ++i) {
        npy_intp unused;
        if (!axis_index(PyList_GET_ITEM(bodies, i), PyArray_DIM(a, 1), unused)) return nullptr;
    }
    return a;
}

// Frame and clip rows of a[:, bodies][step, anchor] when a is a direct clip
// and step and every anchor entry are plain in-range ints.
struct AnchorRows {
    static constexpr npy_intp kMax = 64;
    npy_intp frame = 0;
    npy_intp count = 0;
    npy_intp rows[kMax] = {};
};

bool plan_anchor_rows(PyArrayObject* a, PyObject* bodies, PyObject* step, PyObject* anchor,
                      AnchorRows& plan) {
    if (!PyList_CheckExact(anchor) || !axis_index(step, PyArray_DIM(a, 0), plan.frame)) return false;
    plan.count = PyList_GET_SIZE(anchor);
    if (plan.count < 1 || plan.count > AnchorRows::kMax) return false;
    for (npy_intp j = 0; j < plan.count; ++j) {
        npy_intp position;
        if (!axis_index(PyList_GET_ITEM(anchor, j), PyList_GET_SIZE(bodies), position) ||
            !axis_index(PyList_GET_ITEM(bodies, position), PyArray_DIM(a, 1), plan.rows[j]))
            return false;
    }
    return true;
}

// The planned rows as a new (count, k) array of the clip's dtype.  Only a
// non-GC allocation lies between the plan and the copy: no Python code.
Ref gather_anchor_rows(PyArrayObject* a, const AnchorRows& plan) {
    PyArray_Descr* descr = PyArray_DESCR(a);
    npy_intp dims[2] = {plan.count, PyArray_DIM(a, 2)};
    Py_INCREF(descr);
    Ref out = Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr));
    PyArrayObject* o = reinterpret_cast<PyArrayObject*>(out.get());
    switch (PyArray_ITEMSIZE(a)) {
        case 1: gather_rows<std::uint8_t>(a, o, plan.frame, plan.rows, plan.count); break;
        case 2: gather_rows<std::uint16_t>(a, o, plan.frame, plan.rows, plan.count); break;
        case 4: gather_rows<std::uint32_t>(a, o, plan.frame, plan.rows, plan.count); break;
        default: gather_rows<std::uint64_t>(a, o, plan.frame, plan.rows, plan.count); break;
    }
    return out;
}

// getattr(o, name) when the lookup cannot run Python code (the type's own
// generic lookup, no class attribute of that name: no property, descriptor
// or __getattr__); false, reading nothing, otherwise.
bool quiet_attribute(PyObject* o, PyObject* name, Ref& out) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name)) return false;
    out = attr(o, name);
    return true;
}

// clip[:, self.body_index][self.time_steps, self.motion_anchor_body_index]:
// the anchor body of the current frame, shape (1, k).  The restriction is a
// copy taken before time_steps and the anchor list are read; when reading
// them cannot run Python code, only the one row of it that is returned is
// copied, after validating everything again.
Ref anchor_row(Call& c, PyObject* suffix) {
    PyObject* self = c.arg(0);
    Ref a = clip_array(c, suffix);
    Ref bodies = attr(self, TS_ID("body_index"));
    Ref step, anchor;
    if (direct_clip(a.get(), bodies.get()) && quiet_attribute(self, TS_ID("time_steps"), step) &&
        quiet_attribute(self, TS_ID("motion_anchor_body_index"), anchor)) {
        AnchorRows plan;
        if (PyArrayObject* direct = direct_clip(a.get(), bodies.get()))
            if (plan_anchor_rows(direct, bodies.get(), step.get(), anchor.get(), plan))
                return gather_anchor_rows(direct, plan);
        Ref all = slice(nullptr, nullptr);
        Ref tracked = item(a.get(), tuple({all.get(), bodies.get()}).get());
        return item(tracked.get(), tuple({step.get(), anchor.get()}).get());
    }
    Ref all = slice(nullptr, nullptr);
    Ref tracked = item(a.get(), tuple({all.get(), bodies.get()}).get());
    step = attr(self, TS_ID("time_steps"));
    anchor = attr(self, TS_ID("motion_anchor_body_index"));
    return item(tracked.get(), tuple({step.get(), anchor.get()}).get());
}

// q[:, [1, 2, 3, 0]]: [w, x, y, z] rows to [x, y, z, w].
Ref wxyz_rows_to_xyzw(PyObject* q) {
    Ref i0 = py_int(0), i1 = py_int(1), i2 = py_int(2), i3 = py_int(3);
    Ref order = list({i1.get(), i2.get(), i3.get(), i0.get()});
    Ref all = slice(nullptr, nullptr);
    Ref key = tuple({all.get(), order.get()});
    return item(q, key.get());
}

Ref squeeze_first(PyObject* a) {
    Ref axis = py_int(0);
    return call_method(a, TS_ID("squeeze"), {}, {{TS_ID("axis"), axis}});
}

Ref copy_of(PyObject* a) { return call_method(a, TS_ID("copy"), {}); }

}  // namespace

Ref command(Call& c) {
    Ref concatenate = attr(c.global(TS_ID("np")), TS_ID("concatenate"));
    Ref pos = attr(c.arg(0), TS_ID("joint_pos"));
    Ref vel = attr(c.arg(0), TS_ID("joint_vel"));
    Ref parts = list({pos.get(), vel.get()});
    Ref axis = py_int(0);
    return call(concatenate, {parts.get()}, {{TS_ID("axis"), axis}});
}

Ref joint_pos(Call& c) { return frame_row(c, TS_ID("_joint_pos")); }
Ref joint_vel(Call& c) { return frame_row(c, TS_ID("_joint_vel")); }
Ref body_pos_w(Call& c) { return frame_row(c, TS_ID("_body_pos_w")); }
Ref body_quat_w(Call& c) { return frame_row(c, TS_ID("_body_quat_w")); }
Ref body_lin_vel_w(Call& c) { return frame_row(c, TS_ID("_body_lin_vel_w")); }
Ref body_ang_vel_w(Call& c) { return frame_row(c, TS_ID("_body_ang_vel_w")); }

Ref anchor_pos_w_raw(Call& c) { return anchor_row(c, TS_ID("_body_pos_w")); }
Ref anchor_quat_w_raw(Call& c) { return anchor_row(c, TS_ID("_body_quat_w")); }
Ref anchor_lim_vel_w(Call& c) { return anchor_row(c, TS_ID("_body_lin_vel_w")); }
Ref anchor_ang_vel_w(Call& c) { return anchor_row(c, TS_ID("_body_ang_vel_w")); }

Ref anchor_pos_w_aligned(Call& c) {
    Ref b = anchor_row(c, TS_ID("_body_pos_w"));
    Ref align = attr(c.arg(0), TS_ID("motion_init_align"));
    Ref aligned = call_method(align.get(), TS_ID("align_pos"), {b.get()});
    return squeeze_first(aligned.get());
}

Ref anchor_quat_w_aligned(Call& c) {
    Ref row = anchor_row(c, TS_ID("_body_quat_w"));
    Ref copied = copy_of(row.get());
    Ref b = wxyz_rows_to_xyzw(copied.get());
    Ref align = attr(c.arg(0), TS_ID("motion_init_align"));
    Ref aligned = call_method(align.get(), TS_ID("align_quat"), {b.get()});
    return squeeze_first(aligned.get());
}

Ref update_time_steps(Call& c) {
    // Stored unchanged: no wrap-around, clamping or conversion.
    static StoreSite time_steps;
    store_attr(time_steps, c.arg(0), TS_ID("time_steps"), c.arg(1));
    return none();
}

// Back to frame 0 and re-base the alignment on the anchor body's own pose of
// that frame: full-axis row body_index[motion_anchor_body_index[0]], the row
// the anchor queries read, taken as one-row copies.
Ref reset(Call& c) {
    PyObject* self = c.arg(0);
    Ref zero = py_int(0);
    set_attr(self, TS_ID("time_steps"), zero);

    Ref bodies = attr(self, TS_ID("body_index"));
    Ref anchor = attr(self, TS_ID("motion_anchor_body_index"));
    Ref first = item(anchor.get(), Py_ssize_t{0});
    Ref row = item(bodies.get(), first.get());
    Ref rows = list({row.get()});

    Ref positions = attr(self, TS_ID("body_pos_w"));
    Ref pos_row = item(positions.get(), rows.get());
    Ref init2anchor_pos = copy_of(pos_row.get());

    Ref quats = attr(self, TS_ID("body_quat_w"));
    Ref quat_row = item(quats.get(), rows.get());
    Ref quat_copy = copy_of(quat_row.get());
    Ref init2anchor_quat = wxyz_rows_to_xyzw(quat_copy.get());

    Ref align = attr(self, TS_ID("motion_init_align"));
    call_method(align.get(), TS_ID("set_base"), {},
                {{TS_ID("quat"), init2anchor_quat}, {TS_ID("pos"), init2anchor_pos}});
    return none();
}

}  // namespace motion_env_wbt
