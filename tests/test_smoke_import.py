import importlib

import pytest


@pytest.mark.parametrize("name", ["quillane.model.masks", "quillane.model.pellidor"])
def test_module_imports_from_its_package(name):
    module = importlib.import_module(name)
    assert module.__name__ == name
