"""Small real Debian packages for the demo, built on the fly with `dpkg-deb --build`."""
import os
import shutil
import subprocess

# Two packages, the second depending on the first, so that one install run has to order them.
DEMO_PACKAGES = [
    {
        "name": "velk-demo-hello",
        "version": "1.0",
        "description": "greeting command installed by the velk demo",
        "files": {
            "usr/bin/velk-demo-hello": (0o755, "#!/bin/sh\necho 'Hello from velk-demo-hello 1.0, "
                                               "installed by the velk agent.'\n"),
        },
    },
    {
        "name": "velk-demo-motd",
        "version": "2.3",
        "depends": "velk-demo-hello (>= 1.0)",
        "description": "message of the day installed by the velk demo",
        "files": {
            "usr/share/velk-demo/motd": (0o644, "This device was updated by the velk agent.\n"),
        },
    },
]


def deb_file_name(recipe):
    return "%s_%s_all.deb" % (recipe["name"], recipe["version"])


def build_package(recipe, out_dir, work_dir):
    """Builds one package from its recipe into out_dir; returns the .deb path."""
    stage = os.path.join(work_dir, "%s_%s" % (recipe["name"], recipe["version"]))
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "DEBIAN"))
    for relative, (mode, text) in recipe["files"].items():
        target = os.path.join(stage, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(target, mode)
    control = ["Package: " + recipe["name"], "Version: " + recipe["version"], "Architecture: all",
               "Maintainer: velk demo <velk-demo@localhost>", "Section: misc", "Priority: optional"]
    if recipe.get("depends"):
        control.append("Depends: " + recipe["depends"])
    control.append("Description: " + recipe["description"])
    with open(os.path.join(stage, "DEBIAN", "control"), "w", encoding="utf-8") as f:
        f.write("\n".join(control) + "\n")
    # dpkg-deb refuses folders that a restrictive umask left unreadable to others.
    for folder, _, _ in os.walk(stage):
        os.chmod(folder, 0o755)
    os.makedirs(out_dir, exist_ok=True)
    deb = os.path.join(out_dir, deb_file_name(recipe))
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", stage, deb], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return deb


def build_all(out_dir, work_dir, recipes=DEMO_PACKAGES):
    return [build_package(recipe, out_dir, work_dir) for recipe in recipes]
