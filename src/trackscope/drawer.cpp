// TrackscopeDrawer: sphere and arrow markers handed to the caller's viewer
// through `add_marker`, with keyword arguments only.

#include "trackscope/drawer.hpp"

#include "runtime/numpy_api.hpp"
#include "runtime/ops.hpp"
#include "trackscope/fast_arrow.hpp"

#include <climits>

namespace trackscope {

using namespace ts;

namespace {

// mujoco.mjtGeom.<name>, looked up at each marker.
Ref geom_type(Call& c, PyObject* name) {
    Ref geoms = module_attr(c.global(TS_ID("mujoco")).get(), TS_ID("mjtGeom"));
    return attr(geoms, name);
}

// The rgba literal (r, g, b, 1) of integers.
PyObject* rgba_constant(int r, int g, int b) {
    Ref red = py_int(r), green = py_int(g), blue = py_int(b), alpha = py_int(1);
    return tuple({red.get(), green.get(), blue.get(), alpha.get()}).release();
}

// Python's `a == b` in a condition: the comparison's result, then its truth.
bool equals(PyObject* a, long b) {
    Ref other = py_int(b);
    return compare(a, other.get(), Py_EQ);
}

// Rotation carrying the local z axis onto the unit vector `dir_world`.
Ref rotation_onto(Call& c, PyObject* dir_world) {
    Ref align_vectors = attr(c.global(TS_ID("sRot")), TS_ID("align_vectors"));
    Ref targets = list({dir_world});
    Ref zero = py_int(0), one = py_int(1);
    Ref z_axis = list({zero.get(), zero.get(), one.get()});
    Ref sources = list({z_axis.get()});
    Ref result = call(align_vectors, {targets.get(), sources.get()});
    std::vector<Ref> parts = unpack(result.get(), 2);
    return call_method(parts[0].get(), TS_ID("as_matrix"), {});
}

// The steps of draw_arrow up to the marker, through NumPy and SciPy.
void general_arrow(Call& c, Ref& mat, ArrowLength& length_out) {
    PyObject* root_quat = c.arg(2);
    PyObject* scale = c.arg(5);
    PyObject* horizontal_only = c.arg(6);

    Ref np_array = attr(c.global(TS_ID("np")), TS_ID("array"));
    Ref float_type = c.global(TS_ID("float"));
    Ref vec_local = call(np_array, {c.arg(3)}, {{TS_ID("dtype"), float_type}});

    Ref from_quat = attr(c.global(TS_ID("sRot")), TS_ID("from_quat"));
    Ref r = call(from_quat, {root_quat});

    Ref vec_world;
    if (truth(horizontal_only)) {
        // Heading only: roll and pitch of the body do not turn the vector.
        Ref xyz = py_str("xyz");
        Ref euler = call_method(r.get(), TS_ID("as_euler"), {xyz.get()},
                                {{TS_ID("degrees"), Py_False}});
        Ref yaw = item(euler.get(), Py_ssize_t{2});
        Ref from_euler = attr(c.global(TS_ID("sRot")), TS_ID("from_euler"));
        Ref z = py_str("z");
        Ref yaw_r = call(from_euler, {z.get(), yaw.get()});
        Ref yaw_rot = call_method(yaw_r.get(), TS_ID("as_matrix"), {});
        vec_world = matmul(yaw_rot.get(), vec_local.get());
    } else {
        Ref m = call_method(r.get(), TS_ID("as_matrix"), {});
        vec_world = matmul(m.get(), vec_local.get());
    }

    Ref norm = attr(attr(c.global(TS_ID("np")), TS_ID("linalg")), TS_ID("norm"));
    Ref length = call(norm, {vec_world.get()});

    Ref threshold = py_float(1e-06);
    // A NaN length compares false and takes the short-vector branch.
    if (compare(length.get(), threshold.get(), Py_GT)) {
        Ref dir_world = div(vec_world.get(), length.get());
        length_out.object = mul(length.get(), scale);
        mat = rotation_onto(c, dir_world.get());
    } else {
        length_out.object = py_int(0);
        Ref eye = attr(c.global(TS_ID("np")), TS_ID("eye"));
        Ref three = py_int(3);
        mat = call(eye, {three.get()});
    }
}

}  // namespace

Ref drawer_init(Call& c) {
    set_attr(c.arg(0), TS_ID("viewer"), c.arg(1));
    return none();
}

Ref update_rg_view(Call& c) {
    PyObject* self = c.arg(0);
    PyObject* body_pos = c.arg(1);
    PyObject* humanoid_id = c.arg(3);  // body_rot (arg 2) is not used

    // The literals of the described loop, made once as the interpreter makes
    // a function's constants: the same objects at every call.
    static PyObject* const red = rgba_constant(1, 0, 0);
    static PyObject* const green = rgba_constant(0, 1, 0);
    static PyObject* const size = py_float(0.05).release();
    static PyObject* const label = py_str("").release();
    static PyObject* const block = py_int(1000).release();
    // Interned, as the interpreter's own keyword names are: the callee
    // matches them against its parameter names by identity first.
    static PyObject* const keywords = tuple({TS_ID("pos"), TS_ID("size"), TS_ID("rgba"),
                                             TS_ID("type"), TS_ID("label"), TS_ID("id")})
                                          .release();

    PyObject* rgba;
    if (equals(humanoid_id, 0))
        rgba = red;
    else if (equals(humanoid_id, 1))
        rgba = green;
    else
        return none();

    Ref range = c.global(TS_ID("range"));
    Ref shape = attr(body_pos, TS_ID("shape"));
    Ref count = item(shape.get(), Py_ssize_t{0});
    // range(count) of an int that fits is counted here; anything else is
    // iterated as whatever range() makes of it.
    long long n = 0;
    const bool counted = range.is(reinterpret_cast<PyObject*>(&PyRange_Type)) &&
                         exact_int_in(count.get(), LLONG_MIN, (1LL << 40) - 1, n);
    Ref it;
    if (!counted) {
        Ref indices = call(range, {count.get()});
        it = Ref::steal(PyObject_GetIter(indices.get()));
    }
    // Per body, only the steps that run no Python code have fast forms: an
    // exact ndarray's row, an exact int's arithmetic.
    const bool array_rows = PyArray_CheckExact(body_pos) != 0;
    long long base = 0;
    const bool array_row = array_rows && counted;
    const bool int_id = counted && exact_int_in(humanoid_id, -(1LL << 40), 1LL << 40, base);
    for (long long j = 0;; ++j) {
        Ref index;
        if (!counted) {
            index = Ref::steal_nullable(PyIter_Next(it.get()));
            if (!index) {
                if (PyErr_Occurred()) raise();
                break;
            }
        } else if (j >= n) {
            break;
        } else if (!array_row || !int_id) {
            index = py_int(j);
        }
        Ref viewer = attr(self, TS_ID("viewer"));
        MethodRef add_marker = method_of(viewer.get(), TS_ID("add_marker"));
        Ref pos = array_row ? Ref::steal(PySequence_GetItem(body_pos, static_cast<Py_ssize_t>(j)))
                            : item(body_pos, index.get());
        Ref type = geom_type(c, TS_ID("mjGEOM_SPHERE"));
        Ref id;
        if (int_id) {
            id = py_int(base * 1000 + j);
        } else {
            Ref scaled = mul(humanoid_id, block);
            id = add(scaled.get(), index.get());
        }
        PyObject* stack[] = {nullptr, pos.get(), size, rgba, type.get(), label, id.get()};
        call(add_marker, stack + 1, 0, keywords);
    }
    return none();
}

Ref draw_arrow(Call& c) {
    PyObject* self = c.arg(0);
    PyObject* origin = c.arg(1);
    PyObject* color = c.arg(4);
    PyObject* id = c.arg(7);

    Ref mat;
    ArrowLength length;
    if (!fast::arrow(c, mat, length)) general_arrow(c, mat, length);

    // Interned, as the interpreter's own keyword names are.
    static PyObject* const keywords = tuple({TS_ID("pos"), TS_ID("mat"), TS_ID("size"),
                                             TS_ID("rgba"), TS_ID("type"), TS_ID("id")})
                                          .release();
    Ref viewer = attr(self, TS_ID("viewer"));
    MethodRef add_marker = method_of(viewer.get(), TS_ID("add_marker"));
    Ref size = fast::arrow_size(c, length);
    Ref rgba_array = attr(c.global(TS_ID("np")), TS_ID("array"));
    Ref rgba = call(rgba_array, {color});
    Ref type = geom_type(c, TS_ID("mjGEOM_ARROW"));
    Ref block = py_int(3000);
    Ref marker_id = add(block.get(), id);
    PyObject* stack[] = {nullptr, origin, mat.get(), size.get(), rgba.get(), type.get(),
                         marker_id.get()};
    call(add_marker, stack + 1, 0, keywords);
    return none();
}

}  // namespace trackscope
