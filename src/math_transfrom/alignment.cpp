// TransformAlignment: re-expresses orientations ([x, y, z, w]), vectors and
// positions relative to a base pose B, b: q -> B^-1 * q, v -> B^-1 v,
// p -> B^-1 (p - b).  State lives in ordinary instance attributes read at
// each use, and methods reach each other through the instance, so direct
// assignment and subclass overrides both take effect.

#include "math_transfrom/docstrings.hpp"
#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ops.hpp"

namespace math_transfrom {

using namespace ts;

namespace {

Ref init(Call& c) {
    PyObject* self = c.arg(0);
    set_attr(self, TS_ID("yaw_only"), c.arg(3));
    set_attr(self, TS_ID("xy_only"), c.arg(4));
    call_method(self, TS_ID("set_base"), {c.arg(1), c.arg(2)});
    return none();
}

// The orientation is stored before the position is converted: if the
// position step raises, R_base is already the new base and p_base the old.
// A base of one pose reduced to its heading is built directly (one new
// Rotation instead of three SciPy round trips), and the log text only when
// the logger keeps the record: nothing else shows it.
Ref set_base(Call& c) {
    PyObject* self = c.arg(0);
    PyObject* quat = c.arg(1);
    PyObject* pos = c.arg(2);

    if (quat == Py_None) {
        Ref identity = call_method(c.global(TS_ID("R")).get(), TS_ID("identity"), {});
        set_attr(self, TS_ID("R_base"), identity);
    } else {
        // A one-pose quaternion is read before yaw_only, as from_quat reads it.
        double raw[4];
        bool single = true;
        const bool one_pose = fast::r_intact(c) && fast::base_quat_values(quat, raw, single);
        Ref r;
        if (!one_pose) r = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {quat});
        Ref yaw_only = attr(self, TS_ID("yaw_only"));
        const bool heading = truth(yaw_only.get());
        bool reduced = false;
        if (one_pose) {
            if (heading) reduced = static_cast<bool>(r = fast::heading_base(raw, single));
            if (!reduced) {
                // R as it was when the quaternion was read: yaw_only may rebind it.
                Ref values = fast::row_array(raw, 4, single);
                r = call_method(bound().R.get(), TS_ID("from_quat"), {values.get()});
            }
        }
        if (heading && !reduced) {
            Ref xyz = py_str("xyz");
            Ref euler = call_method(r.get(), TS_ID("as_euler"), {xyz.get()});
            // Keep the heading of every rotation: for a stack (N, 3) the x
            // and y angles are zeroed row by row, not the first two rows.
            Ref zero = py_float(0.0);
            Ref two = py_int(2);
            Ref first_two = slice(nullptr, two.get());
            Ref key = tuple({Py_Ellipsis, first_two.get()});
            set_item(euler.get(), key.get(), zero.get());
            r = call_method(c.global(TS_ID("R")).get(), TS_ID("from_euler"), {xyz.get(), euler.get()});
        }
        set_attr(self, TS_ID("R_base"), r);
    }

    if (pos == Py_None) {
        Ref three = py_int(3);
        Ref zeros = call_method(c.global(TS_ID("np")).get(), TS_ID("zeros"), {three.get()});
        set_attr(self, TS_ID("p_base"), zeros);
    } else {
        Ref asarray = attr(c.global(TS_ID("np")), TS_ID("asarray"));
        Ref p_base = call(asarray, {pos}, {{TS_ID("dtype"), c.global(TS_ID("float"))}});
        Ref xy_only = attr(self, TS_ID("xy_only"));
        if (truth(xy_only.get())) {
            // asarray returns the caller's own float64 array: zero the copy,
            // never the caller's height, and every z of an (N, 3) stack.
            p_base = call_method(p_base.get(), TS_ID("copy"), {});
            Ref zero = py_float(0.0);
            Ref two = py_int(2);
            Ref key = tuple({Py_Ellipsis, two.get()});
            set_item(p_base.get(), key.get(), zero.get());
        }
        set_attr(self, TS_ID("p_base"), p_base);
    }

    // logger.info("base set to pos: ..., quat: ..."), from the attributes just
    // stored.  An array's text and a SciPy Rotation's as_quat() have no other
    // effect, so when the logger drops the record they are not built.
    Ref info = attr(c.global(TS_ID("logger")), TS_ID("info"));
    Ref p_stored = attr(self, TS_ID("p_base"));
    Ref R_stored;
    if (PyArray_CheckExact(p_stored.get())) {
        R_stored = attr(self, TS_ID("R_base"));
        if (Py_TYPE(R_stored.get()) == reinterpret_cast<PyTypeObject*>(bound().R.get()) &&
            fast::log_dropped(c))
            return none();
    }
    Ref p_text = format_text(p_stored.get());
    if (!R_stored) R_stored = attr(self, TS_ID("R_base"));
    Ref q_stored = call_method(R_stored.get(), TS_ID("as_quat"), {});
    Ref q_text = format_text(q_stored.get());
    Ref message = Ref::steal(
        PyUnicode_FromFormat("base set to pos: %U, quat: %U", p_text.get(), q_text.get()));
    call(info, {message.get()});
    return none();
}

// The input is converted before R_base is read and R_base is read once,
// whichever path computes: a property of a subclass may change both.
Ref align_quat(Call& c) {
    PyObject* self = c.arg(0);
    fast::AlignInput taken;
    const bool native = fast::take_align_quat(c, taken);
    Ref R_cur;
    if (!native) R_cur = call_method(c.global(TS_ID("R")).get(), TS_ID("from_quat"), {c.arg(1)});
    Ref R_base = attr(self, TS_ID("R_base"));
    if (native) {
        if (Ref r = fast::align_quat(taken, R_base.get())) return r;
        // R was still the bound Rotation when the input was taken.
        Ref quat = fast::taken_array(taken, 4);
        R_cur = call_method(bound().R.get(), TS_ID("from_quat"), {quat.get()});
    }
    Ref base_inverse = call_method(R_base.get(), TS_ID("inv"), {});
    Ref R_rel = mul(base_inverse.get(), R_cur.get());  // R_cur applied first
    return call_method(R_rel.get(), TS_ID("as_quat"), {});
}

Ref align_xyz(Call& c) {
    PyObject* self = c.arg(0);
    fast::AlignInput taken;
    const bool native = fast::take_align_xyz(c, taken);
    Ref xyz;
    if (!native) xyz = call_method(c.global(TS_ID("np")).get(), TS_ID("asarray"), {c.arg(1)});
    Ref R_base = attr(self, TS_ID("R_base"));
    if (native) {
        if (Ref r = fast::align_xyz(taken, R_base.get())) return r;
        xyz = fast::taken_array(taken, 3);
    }
    Ref base_inverse = call_method(R_base.get(), TS_ID("inv"), {});
    return call_method(base_inverse.get(), TS_ID("apply"), {xyz.get()});
}

Ref align_pos(Call& c) {
    PyObject* self = c.arg(0);
    Ref pos = call_method(c.global(TS_ID("np")).get(), TS_ID("asarray"), {c.arg(1)});
    Ref rotate = attr(self, TS_ID("align_xyz"));
    Ref p_base = attr(self, TS_ID("p_base"));
    Ref difference = fast::position_difference(pos.get(), p_base.get());
    if (!difference) difference = sub(pos.get(), p_base.get());
    return call(rotate, {difference.get()});
}

Ref align_transform(Call& c) {
    PyObject* self = c.arg(0);
    Ref quat_aligned = call_method(self, TS_ID("align_quat"), {c.arg(1)});
    Ref pos_aligned = call_method(self, TS_ID("align_pos"), {c.arg(2)});
    return tuple({quat_aligned.get(), pos_aligned.get()});
}

}  // namespace

const ts::ClassDef transform_alignment = {
    "TransformAlignment",
    docs::alignment_class,
    {
        {MemberDef::method,
         {"__init__",
          {{"self"},
           {"quat", Ann::none, Default::none()},
           {"pos", Ann::none, Default::none()},
           {"yaw_only", Ann::none, Default::b(false)},
           {"xy_only", Ann::none, Default::b(false)}},
          Ann::none,
          docs::alignment_init,
          init}},
        {MemberDef::method,
         {"set_base",
          {{"self"}, {"quat", Ann::none, Default::none()}, {"pos", Ann::none, Default::none()}},
          Ann::none,
          nullptr,
          set_base}},
        {MemberDef::method,
         {"align_quat", {{"self"}, {"quat"}}, Ann::none, docs::align_quat, align_quat}},
        {MemberDef::method,
         {"align_xyz", {{"self"}, {"xyz"}}, Ann::none, docs::align_xyz, align_xyz}},
        {MemberDef::method,
         {"align_pos", {{"self"}, {"pos"}}, Ann::none, docs::align_pos, align_pos}},
        {MemberDef::method,
         {"align_transform", {{"self"}, {"quat"}, {"pos"}}, Ann::none, docs::align_transform,
          align_transform}},
    },
};

}  // namespace math_transfrom
