#include "duv/augmentation/meta_estimator_tags.hpp"

namespace duv::augmentation {

namespace {

DUV_ARGS(SelfArgs, self);

// What holds for the wrapped estimator holds for the wrapper: the inputs it requires, the
// targets it supports (a regressor's target is validated with multi_output=True and handed
// on), the classes it can tell apart, how good and how repeatable its fits are.
nb::object wrapper_tags(const OwnerCell &c, nb::handle self, InputCheck input) {
    nb::object tags = base_tags(c.owner, self);
    nb::object inner = tags_or_none(self.attr("estimator"));
    if (inner.is_none()) return tags;
    copy_tag(tags, inner, "input_tags", "positive_only");
    copy_tag(tags, inner, "target_tags", "positive_only");
    if (input != InputCheck::NumericOneTarget && !nb::object(tags.attr("regressor_tags")).is_none())
        copy_tag(tags, inner, "target_tags", "multi_output");
    copy_tag(tags, inner, "regressor_tags", "poor_score");
    copy_tag(tags, inner, "classifier_tags", "poor_score");
    copy_tag(tags, inner, "classifier_tags", "multi_class");
    copy_tag(tags, inner, nullptr, "non_deterministic");
    if (input == InputCheck::AsGiven) {
        copy_tag(tags, inner, "input_tags", "allow_nan");
        copy_tag(tags, inner, "input_tags", "string");
        copy_tag(tags, inner, "input_tags", "categorical");
    }
    return tags;
}

template <InputCheck Input> nb::object tags_of(const Globals &, const OwnerCell &c, const SelfArgs &a) {
    return wrapper_tags(c, a.self, Input);
}

}  // namespace

void def_sklearn_tags(nb::module_ &m, nb::handle cls, InputCheck input) {
    auto body = input == InputCheck::Numeric   ? tags_of<InputCheck::Numeric>
                : input == InputCheck::AsGiven ? tags_of<InputCheck::AsGiven>
                                               : tags_of<InputCheck::NumericOneTarget>;
    def_owned(m, cls, "__sklearn_tags__", {arg("self")}, body);
}

}  // namespace duv::augmentation
