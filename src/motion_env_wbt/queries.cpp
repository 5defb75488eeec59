// Per-frame reference queries, stepping and reset.
//
// Every query reads `file`, `time_steps` and the index lists from the
// instance when it runs; the clip arrays are found by name, so switching
// `file` switches the clip.

#include "motion_env_wbt/environment.hpp"
#include "runtime/ops.hpp"

namespace motion_env_wbt {

using namespace ts;

namespace {

// getattr(self, format(self.file, '') + suffix)
Ref clip_array(Call& c, PyObject* suffix) {
    Ref getattr = c.global(TS_ID("getattr"));
    PyObject* self = c.arg(0);
    Ref file = attr(self, TS_ID("file"));
    Ref text = format_text(file.get());
    Ref name = add(text.get(), suffix);
    return call(getattr, {self, name.get()});
}

// clip[self.time_steps]: a view into the stored clip.
Ref frame_row(Call& c, PyObject* suffix) {
    Ref a = clip_array(c, suffix);
    Ref step = attr(c.arg(0), TS_ID("time_steps"));
    return item(a.get(), step.get());
}

// clip[:, self.body_index][self.time_steps, self.motion_anchor_body_index]:
// the anchor body of the current frame, shape (1, k).
Ref anchor_row(Call& c, PyObject* suffix) {
    PyObject* self = c.arg(0);
    Ref a = clip_array(c, suffix);
    Ref all = slice(nullptr, nullptr);
    Ref bodies = attr(self, TS_ID("body_index"));
    Ref tracked_key = tuple({all.get(), bodies.get()});
    Ref tracked = item(a.get(), tracked_key.get());
    Ref step = attr(self, TS_ID("time_steps"));
    Ref anchor = attr(self, TS_ID("motion_anchor_body_index"));
    Ref key = tuple({step.get(), anchor.get()});
    return item(tracked.get(), key.get());
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
    set_attr(c.arg(0), TS_ID("time_steps"), c.arg(1));
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
