#!/usr/bin/python3
"""Lists the state-dict keys and shapes of a YOLO ecosystem .pt file, one "key d0,d1,..." a line.

The file's pickle names the ecosystem's Python classes; a restricted unpickler turns every class
into an inert placeholder and every tensor into its shape, so nothing of that library is imported
or run and no tensor data is read. Used to write the tests' key lists (tests/data/*.keys).
"""
import collections
import pickle
import sys
import zipfile


class Placeholder:
    def __init__(self, *args, **kwargs):
        pass

    def __setstate__(self, state):
        if isinstance(state, tuple) and len(state) == 2 and isinstance(state[1], dict):
            state = {**(state[0] or {}), **state[1]}
        if isinstance(state, dict):
            self.__dict__.update(state)

    def __setitem__(self, key, value):
        pass


class Shape(tuple):
    pass


def rebuild_tensor(storage, offset, size, stride, *rest):
    return Shape(size)


def rebuild_parameter(data, requires_grad, *rest):
    return data


class RestrictedUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        if name == "_rebuild_tensor_v2":
            return rebuild_tensor
        if name == "_rebuild_parameter":
            return rebuild_parameter
        if (module, name) == ("collections", "OrderedDict"):
            return collections.OrderedDict
        return type(name, (Placeholder,), {})

    def persistent_load(self, pid):
        return None


def walk(module, prefix, out):
    state = module.__dict__
    for kind in ("_parameters", "_buffers"):
        for key, value in state.get(kind, {}).items():
            if isinstance(value, Shape):
                out.append((prefix + key, value))
    for key, child in state.get("_modules", {}).items():
        if child is not None:
            walk(child, prefix + key + ".", out)


def main():
    archive = zipfile.ZipFile(sys.argv[1])
    pkl = next(n for n in archive.namelist() if n.endswith("/data.pkl"))
    checkpoint = RestrictedUnpickler(archive.open(pkl)).load()
    keys = []
    walk(checkpoint["model"], "", keys)
    for key, shape in keys:
        print(key, ",".join(str(d) for d in shape))


if __name__ == "__main__":
    main()
