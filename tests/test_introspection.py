"""Every public callable answers introspection as a Python function of the same signature would."""

import importlib
import inspect
import pydoc
import types

import pytest

SUBPACKAGES = ["duv.augmentation", "duv.ensemble", "duv.metrics", "duv.neural_network", "duv.preprocessing"]


def _package_functions():
    """(label, function) for every function and method the package defines, validation wrappers included."""
    found = {}
    for pkg in SUBPACKAGES:
        mod = importlib.import_module(pkg)
        for name in mod.__all__:
            obj = getattr(mod, name)
            if inspect.isclass(obj):
                for attr, value in vars(obj).items():
                    if isinstance(value, property):
                        value = value.fget
                    if inspect.isfunction(value) and value.__module__.startswith("duv."):
                        found[f"{obj.__qualname__}.{attr}"] = value
            else:
                found[name] = obj
    return sorted(found.items())


FUNCTIONS = _package_functions()


def _python_twin(fn):
    """A Python function with the names and signature of `fn`, to compare answers with."""

    def body(*args, **kwargs):
        pass

    inner = getattr(fn, "__wrapped__", fn)  # the validation wrapper's globals are scikit-learn's
    twin = types.FunctionType(body.__code__, inner.__globals__, fn.__name__)
    twin.__signature__ = inspect.signature(fn)
    twin.__name__, twin.__qualname__, twin.__module__ = fn.__name__, fn.__qualname__, fn.__module__
    return twin


@pytest.mark.parametrize("label, fn", FUNCTIONS, ids=[label for label, _ in FUNCTIONS])
def test_predicates_and_help_answer_as_for_python_functions(label, fn):
    for predicate in (
        inspect.isfunction,
        inspect.isroutine,
        inspect.ismethod,
        inspect.isbuiltin,
        inspect.iscoroutinefunction,
        inspect.isgeneratorfunction,
        inspect.isasyncgenfunction,
        inspect.ismethoddescriptor,
    ):
        assert predicate(fn) == predicate(_python_twin(fn)), predicate.__name__
    name = fn.__name__
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    # A method also shows the docstring it inherits through its class, which the twin is not in.
    assert text.startswith(pydoc.render_doc(_python_twin(fn), renderer=pydoc.plaintext).rstrip("\n"))
    assert name in text and all(p in text for p in inspect.signature(fn).parameters)
    code = getattr(fn, "__wrapped__", fn).__code__
    assert code.co_name == name
    assert code.co_varnames[: code.co_argcount + code.co_kwonlyargcount] == tuple(
        p.name
        for p in inspect.signature(getattr(fn, "__wrapped__", fn)).parameters.values()
        if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
    )


def test_code_flags_follow_the_parameter_kinds():
    from duv.ensemble import MixtureOfExpertsRegressor

    predict = MixtureOfExpertsRegressor.predict  # (self, X, return_std=False, **kwargs)
    reference = (lambda self, X, return_std=False, **kwargs: None).__code__
    assert predict.__code__.co_flags & 0xF == reference.co_flags & 0xF
    assert predict.__code__.co_varnames == reference.co_varnames
    assert (predict.__code__.co_argcount, predict.__code__.co_kwonlyargcount) == (3, 0)
    assert predict.__closure__ is None and predict.__type_params__ == ()


def test_help_of_a_class_lists_its_methods():
    from duv.augmentation import ResampleAugmentedClassifier

    text = pydoc.render_doc(ResampleAugmentedClassifier, renderer=pydoc.plaintext)
    assert "fit(self, X, y, sample_weight=None)" in text
    assert "classes_" in text
