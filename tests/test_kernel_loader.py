import importlib
import importlib.abc
import importlib.util
import linecache
import logging
import sys
import traceback
import uuid

import pytest

from tarnlet_master.python_server import kernel

KERNEL_LOGGER = "tarnlet_master.python_server.kernel"


@pytest.fixture
def loader():
    """A loader of its own, first on sys.meta_path, and clean-up of what the test imported."""
    own = kernel.InMemoryModuleLoader()
    sys.meta_path.insert(0, own)
    yield own
    sys.meta_path.remove(own)
    for name in list(own.source_cache):
        own.delete_module(name)


def fresh_name(prefix="wbmod"):
    return f"{prefix}_{uuid.uuid4().hex[:8]}"


def test_is_a_real_meta_path_finder_and_loader():
    assert kernel.InMemoryModuleLoader.__bases__ == (importlib.abc.MetaPathFinder, importlib.abc.Loader)
    own = kernel.InMemoryModuleLoader()
    assert own.source_cache == {}
    assert isinstance(kernel.in_memory_loader, kernel.InMemoryModuleLoader)
    assert own.create_module(None) is None


def test_find_spec_claims_cached_names_as_they_stand(loader):
    loader.update_module("pkg.sub", "")
    spec = loader.find_spec("pkg.sub", ["ignored"])
    assert (spec.name, spec.loader, spec.origin, spec.submodule_search_locations) == ("pkg.sub", loader, None, None)
    assert loader.find_spec("pkg", None) is None and loader.find_spec("sub", None) is None
    with pytest.raises(TypeError):
        loader.find_spec(5, None)


class TestImport:
    def test_import_runs_source_once_until_updated(self, loader):
        name = fresh_name()
        loader.update_module(name, "import itertools\nRUNS = next(itertools.count(1))\nVALUE = 'old'\n")
        first = importlib.import_module(name)
        assert first.VALUE == "old"
        assert importlib.import_module(name) is first

        loader.update_module(name, "VALUE = 'new'\n")
        assert name not in sys.modules
        second = importlib.import_module(name)
        assert second is not first and second.VALUE == "new"
        assert first.VALUE == "old"

    def test_importer_keeps_the_old_module_until_reimported(self, loader):
        a, b = fresh_name("a"), fresh_name("b")
        loader.update_module(a, "X = 1\n")
        loader.update_module(b, f"import {a}\ndef x():\n    return {a}.X\n")
        mod_b = importlib.import_module(b)
        loader.update_module(a, "X = 2\n")
        assert importlib.import_module(a).X == 2
        assert mod_b.x() == 1
        loader.update_module(b, loader.source_cache[b])
        assert importlib.import_module(b).x() == 2

    def test_dotted_name_imports_below_an_in_memory_package(self, loader):
        pkg = fresh_name("pkg")
        loader.update_module(pkg, "__path__ = []\n")
        loader.update_module(f"{pkg}.sub", "WHERE = __name__\n")
        assert importlib.import_module(f"{pkg}.sub").WHERE == f"{pkg}.sub"
        # update leaves submodule entries alone
        loader.update_module(pkg, "__path__ = []\n")
        assert f"{pkg}.sub" in sys.modules

    def test_reload_reruns_the_cached_source_in_the_same_module(self, loader):
        name = fresh_name()
        loader.update_module(name, "N = 1\n")
        mod = importlib.import_module(name)
        loader.source_cache[name] = "N = 2\n"
        assert importlib.reload(mod) is mod and mod.N == 2

    def test_shadows_an_installed_module_not_yet_imported(self, loader):
        name = "tabnanny"
        if name in sys.modules:
            pytest.skip("tabnanny already imported in this process")
        loader.update_module(name, "SHADOW = True\n")
        assert importlib.import_module(name).SHADOW is True
        loader.delete_module(name)
        assert not hasattr(importlib.import_module(name), "SHADOW")
        del sys.modules[name]

    def test_source_deleted_after_find_spec(self, loader):
        name = fresh_name()
        loader.update_module(name, "")
        spec = loader.find_spec(name, None)
        module = importlib.util.module_from_spec(spec)
        del loader.source_cache[name]
        with pytest.raises(ImportError, match=f"^No source code found for module '{name}'$"):
            loader.exec_module(module)


class TestTracebacks:
    def test_traceback_points_into_the_virtual_file_with_source_lines(self, loader):
        name = fresh_name()
        loader.update_module(name, "def f():\n    x = 1\n    return x / 0\n")
        mod = importlib.import_module(name)
        with pytest.raises(ZeroDivisionError) as info:
            mod.f()
        text = "".join(traceback.format_exception(info.value))
        assert f'File "<virtual:{name}>", line 3, in f\n    return x / 0\n' in text
        assert mod.f.__code__.co_filename == f"<virtual:{name}>"

    def test_error_while_executing_is_logged_and_trimmed(self, loader, caplog):
        name = fresh_name()
        loader.update_module(name, "A = 1\nraise ValueError('bad module')\n")
        with caplog.at_level(logging.ERROR, logger=KERNEL_LOGGER):
            with pytest.raises(ValueError) as info:
                importlib.import_module(name)
        assert f"[InMemoryModuleLoader] Error executing module '{name}': bad module" in caplog.messages
        assert name not in sys.modules
        # No frame between the importer's and the module's own: the innermost is the module body.
        frames = traceback.extract_tb(info.value.__traceback__)
        assert frames[-1].filename == f"<virtual:{name}>" and frames[-1].lineno == 2
        assert all(f.filename != kernel.__file__ for f in frames)

    def test_syntax_error_names_the_virtual_file_and_lines_are_cached(self, loader, caplog):
        name = fresh_name()
        loader.update_module(name, "ok = 1\ndef broken(:\n")
        with caplog.at_level(logging.ERROR, logger=KERNEL_LOGGER):
            with pytest.raises(SyntaxError) as info:
                importlib.import_module(name)
        assert info.value.filename == f"<virtual:{name}>"
        assert any(m.startswith(f"[InMemoryModuleLoader] Error executing module '{name}': ") for m in caplog.messages)
        assert linecache.getline(f"<virtual:{name}>", 2) == "def broken(:\n"
        assert loader.source_cache[name] == "ok = 1\ndef broken(:\n"


@pytest.mark.parametrize("source, lines", [("a = 1\nb = 2", ["a = 1\n", "b = 2\n"]), ("", [])])
def test_linecache_entry(loader, source, lines):
    name = fresh_name()
    loader.update_module(name, source)
    importlib.import_module(name)
    filename = f"<virtual:{name}>"
    assert linecache.cache[filename] == (len(source), None, lines, filename)
    linecache.checkcache(filename)  # no mtime: left alone
    assert filename in linecache.cache


class TestUpdateAndDelete:
    def test_delete_forgets_source_module_and_lines(self, loader, caplog):
        name = fresh_name()
        loader.update_module(name, "x = 1\n")
        importlib.import_module(name)
        with caplog.at_level(logging.DEBUG, logger=KERNEL_LOGGER):
            loader.delete_module(name)
        assert caplog.messages == [
            f"[InMemoryModuleLoader] Removed '{name}' from source_cache",
            f"[InMemoryModuleLoader] Removed '{name}' from sys.modules",
            f"[InMemoryModuleLoader] Removed '<virtual:{name}>' from linecache",
        ]
        assert name not in sys.modules and f"<virtual:{name}>" not in linecache.cache
        with pytest.raises(ModuleNotFoundError):
            importlib.import_module(name)

    def test_delete_of_never_imported_and_unknown_names(self, loader, caplog):
        name = fresh_name()
        loader.update_module(name, "x = 1\n")
        with caplog.at_level(logging.DEBUG, logger=KERNEL_LOGGER):
            loader.delete_module(name)
            assert caplog.messages == [f"[InMemoryModuleLoader] Removed '{name}' from source_cache"]
            caplog.clear()
            loader.delete_module("never_known_module")
        assert caplog.messages == []

    def test_update_logs_only_when_an_imported_copy_is_dropped(self, loader, caplog):
        name = fresh_name()
        with caplog.at_level(logging.DEBUG, logger=KERNEL_LOGGER):
            loader.update_module(name, "x = 1\n")
            assert caplog.messages == []
            importlib.import_module(name)
            loader.update_module(name, "x = 2\n")
        assert caplog.messages == [f"[InMemoryModuleLoader] Removed '{name}' from sys.modules to force reload"]

    @pytest.mark.parametrize("call", [lambda ld: ld.update_module(5, "x = 1"), lambda ld: ld.update_module("m", None),
                                      lambda ld: ld.update_module("m", b"x = 1"), lambda ld: ld.delete_module(None)])
    def test_non_strings_are_rejected(self, loader, call):
        with pytest.raises(TypeError):
            call(loader)
        assert loader.source_cache == {}
