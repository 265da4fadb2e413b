#!/usr/bin/env python3
"""Checks that the library's layers include only downwards.

Every `#include "..."` of the library's sources is resolved to a file of the
tree, and both ends to a layer (the longest path prefix below names it). A
layer may include itself and the layers its row allows; anything else is an
upward or sideways include and fails the check, one line per include.

  scripts/check-layers.py [ROOT]          check (exit 1 on a forbidden include)
  scripts/check-layers.py --table [ROOT]  print the layers, their floors and
                                          the include edges between them
  scripts/check-layers.py --table --folders [ROOT]
                                          the same for the top-level folders
                                          (a part of the record counts with
                                          its folder)
  scripts/check-layers.py --self-test     the check on a small tree of its
                                          own: it must refuse an upward
                                          include and pass the same tree
                                          without it

Tests, soaks, fuzzers and benchmarks stand beside the layers and may reach
any of them; they are not checked.
"""

import os
import re
import sys

# Layer: the path prefixes that make it up (a longer prefix wins).
LAYERS = {
    # The build's configuration (identities, the driver's GUID) goes with
    # the platform that uses it.
    "platform": ["platform/", "cmake/build_config.h.in"],
    "image": ["image/"],
    # The parts of the camera record, each kept in its owner's folder but
    # standing under the core type that composes them.
    "record parts": ["sensor/sensor_state.h", "usb/link_state.h", "capture/capture_state.h"],
    "core": ["core/"],
    "usb": ["usb/"],
    "sensor": ["sensor/"],
    "capture": ["capture/"],
    "guide": ["guide/"],
    "sim": ["sim/"],
    "exports": ["exports/"],
    "api": ["api/"],
    "public headers": ["include/"],
    "tools": ["tools/"],
    # Helpers the applications share (a FITS time stamp), header only.
    "app common": ["tools/common/"],
    "indi": ["indi/"],
    "alpaca": ["alpaca/"],
}

CORE = ["core", "record parts", "platform"]

# Layer: the layers it may include besides itself.
ALLOWED = {
    "platform": [],
    "image": [],
    "record parts": ["platform"],
    "core": ["record parts", "platform"],
    "usb": CORE,
    "sensor": ["usb"] + CORE,
    "capture": ["sensor", "usb", "image"] + CORE,
    "guide": ["usb"] + CORE,
    # The simulated camera is a backend of the USB seam.
    "sim": ["usb", "public headers"] + CORE,
    # The exports' native extras attach the simulator in place of the USB
    # backend (sim_api.cpp).
    "exports": ["sim", "guide", "capture", "sensor", "usb", "image", "public headers"] + CORE,
    # The camera API opens simulated cameras as well as real ones.
    "api": ["sim", "guide", "capture", "sensor", "usb", "image", "public headers"] + CORE,
    "public headers": [],
    # The applications stand on the public headers, and share a few helpers.
    "app common": ["public headers"],
    "tools": ["app common", "public headers"],
    "indi": ["app common", "public headers"],
    "alpaca": ["app common", "public headers"],
}

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".c", ".inc", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
# Folders besides the root that the build puts on the include path.
SEARCH = ["", "include/", "tools/"]
GENERATED = {"tarncam_build_config.h": "cmake/build_config.h.in"}  # configure_file


def layer_of(path):
    best, best_len = None, -1
    for name, prefixes in LAYERS.items():
        for p in prefixes:
            if (path == p or (p.endswith("/") and path.startswith(p))) and len(p) > best_len:
                best, best_len = name, len(p)
    return best


def folder_of(path):
    # The configuration template is filled in for the platform's use.
    return "platform" if path in GENERATED.values() else path.split("/")[0]


def resolve(root, includer, name):
    if name in GENERATED:
        return GENERATED[name]
    here = os.path.dirname(includer)
    for base in [here + "/" if here else ""] + SEARCH:
        candidate = os.path.normpath(base + name)
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def sources(root):
    for name, prefixes in LAYERS.items():
        for p in prefixes:
            top = os.path.join(root, p)
            if os.path.isfile(top):
                yield p
                continue
            for d, _, files in os.walk(top):
                for f in files:
                    if f.endswith(SOURCE_SUFFIXES):
                        yield os.path.relpath(os.path.join(d, f), root)


def edges(root):
    """Yields (file, line number, included file or None, include text)."""
    for path in sorted(set(sources(root))):
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for n, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if m:
                    yield path, n, resolve(root, path, m.group(1)), m.group(1)


def floors(graph):
    """Floor of each layer: 1 + the highest floor it includes (1 = ground)."""
    floor = {}

    def of(node, seen):
        if node in floor:
            return floor[node]
        if node in seen:  # a circle: count it once
            return 1
        seen.add(node)
        f = 1 + max((of(t, seen) for t in graph.get(node, {}) if t != node), default=0)
        seen.discard(node)
        floor[node] = f
        return f

    for node in graph:
        of(node, set())
    return floor


def self_test():
    import contextlib
    import io
    import tempfile

    with tempfile.TemporaryDirectory() as root:
        files = {
            "core/camera_state.h": '#include "usb/link_state.h"\n',
            "usb/link_state.h": '#include "platform/handles.h"\n',
            "platform/handles.h": "",
            "usb/control.cpp": '#include "core/camera_state.h"\n#include "usb/link_state.h"\n',
            "exports/exports.cpp": '#include "usb/control.h"\n#include "tarncam/tarncam.h"\n',
            "usb/control.h": '#include "core/camera_state.h"\n',
            "include/tarncam/tarncam.h": "",
        }
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        quiet = io.StringIO()
        with contextlib.redirect_stderr(quiet):
            clean = main([root])
        with open(os.path.join(root, "usb/control.h"), "a") as f:
            f.write('#include "exports/exports.h"\n')
        with open(os.path.join(root, "exports/exports.h"), "w") as f:
            f.write("")
        with contextlib.redirect_stderr(quiet):
            upward = main([root])
        said = quiet.getvalue()
    if clean != 0 or upward != 1 or "usb/control.h:2: usb may not include exports" not in said:
        print(f"self-test failed: clean tree {clean}, upward include {upward}\n{said}",
              file=sys.stderr)
        return 1
    return 0


def main(argv):
    if "--self-test" in argv:
        return self_test()
    table = "--table" in argv
    folders = "--folders" in argv
    args = [a for a in argv if a not in ("--table", "--folders")]
    root = os.path.abspath(args[0] if args else os.path.join(os.path.dirname(__file__), ".."))
    graph, bad = {}, []
    for path, n, target, text in edges(root):
        src = layer_of(path)
        if target is None:
            bad.append(f"{path}:{n}: includes \"{text}\", which is no file of the tree")
            continue
        dst = layer_of(target)
        if dst is None:
            bad.append(f"{path}:{n}: includes {target}, which is in no layer")
            continue
        if dst != src and dst not in ALLOWED[src]:
            bad.append(f"{path}:{n}: {src} may not include {dst} ({target})")
        if folders:
            src, dst = folder_of(path), folder_of(target)
        graph.setdefault(src, {}).setdefault(dst, 0)
        graph[src][dst] += 1
        graph.setdefault(dst, {})
    if table:
        floor = floors(graph)
        pairs = sum(1 for s in graph for d in graph[s] if d != s)
        # An edge in a circle cannot point downwards at both ends.
        up = sum(1 for s in graph for d in graph[s] if d != s and floor[d] >= floor[s])
        print(f"{len(graph)} {'folders' if folders else 'layers'} on {max(floor.values())} floors, "
              f"{pairs} include edges, {up} not downwards")
        for name in sorted(graph, key=lambda k: (-floor[k], k)):
            outs = ", ".join(f"{d} ({c})" for d, c in sorted(graph[name].items()) if d != name)
            print(f"floor {floor[name]}  {name}: {outs or '-'}")
    for line in bad:
        print(line, file=sys.stderr)
    if bad:
        print(f"{len(bad)} include(s) break the layering (see scripts/check-layers.py)",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
