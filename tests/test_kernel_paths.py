import sys

import pytest

from tarnlet_master.python_server import kernel


@pytest.fixture
def env():
    """A VirtualEnvironment on a sys.path that is put back, in place, afterwards."""
    saved = list(sys.path)
    yield kernel.VirtualEnvironment("wb")
    sys.path[:] = saved


def test_initial_state(env):
    assert env.workbook_id == "wb"
    assert env.original_path == sys.path and env.original_path is not sys.path
    assert env.custom_paths == [] and env.get_paths() == []


def test_add_twice_records_and_inserts_once(env):
    env.add_path("/wb/D")
    env.add_path("/wb/D")
    assert env.custom_paths == ["/wb/D"]
    assert sys.path[0] == "/wb/D" and sys.path.count("/wb/D") == 1


def test_path_already_on_sys_path_is_recorded_not_moved_then_removed(env):
    sys.path.append("/wb/late")
    before = list(sys.path)
    env.add_path("/wb/late")
    assert sys.path == before and env.custom_paths == ["/wb/late"]
    env.remove_path("/wb/late")
    assert "/wb/late" not in sys.path and env.custom_paths == []


def test_remove_of_a_path_never_added_leaves_sys_path(env):
    sys.path.insert(0, "/wb/other")
    before = list(sys.path)
    env.remove_path("/wb/other")
    env.remove_path("/wb/unknown")
    assert sys.path == before


def test_remove_takes_the_first_occurrence_only(env):
    env.add_path("/wb/dup")
    sys.path.append("/wb/dup")
    env.remove_path("/wb/dup")
    assert sys.path.count("/wb/dup") == 1 and sys.path[-1] == "/wb/dup"


def test_reset_restores_the_snapshot_in_the_same_list(env):
    search_path = sys.path
    env.add_path("/wb/A")
    env.add_path("/wb/B")
    sys.path.append("/set/by/other/messages")
    env.reset_path()
    assert sys.path is search_path
    assert sys.path == env.original_path
    assert env.get_paths() == []


def test_reset_clears_a_replaced_custom_list_in_place(env):
    replaced = ["/pkg/A"]
    env.custom_paths = replaced
    env.reset_path()
    assert replaced == [] and env.custom_paths is replaced


def test_get_paths_is_a_copy(env):
    env.add_path("/wb/A")
    paths = env.get_paths()
    paths.append("/x")
    assert env.custom_paths == ["/wb/A"] and paths is not env.custom_paths


@pytest.mark.parametrize("call", [lambda env: env.add_path(None), lambda env: env.remove_path(3),
                                  lambda env: kernel.VirtualEnvironment(7)])
def test_non_strings_are_rejected(env, call):
    before = list(sys.path)
    with pytest.raises(TypeError):
        call(env)
    assert sys.path == before and env.custom_paths == []
