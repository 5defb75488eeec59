#include "math_transfrom/docstrings.hpp"
#include "math_transfrom/functions.hpp"

namespace math_transfrom {

const ts::ClassDef transform_alignment = {"TransformAlignment", docs::alignment_class, {}};

}  // namespace math_transfrom
