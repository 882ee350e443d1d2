#!/usr/bin/env python3
"""Builds the Quorvel Helper MSI from the WiX 3 sources in installer/ with
wixl (Debian 12's msitools 0.101), signs what it is asked to with
osslsigncode, and checks the built tables against the sources.

  make_msi.py build --helper EXE --client EXE --third-party DIR --version V
                    --include-dir DIR --out FILE.msi [--flavor NAME]
                    [--testbed-file FILE]... [--kit DIR]
                    [--sign PFX [--password-file FILE] [--timestamp URL]]
  make_msi.py check FILE.msi

--third-party DIR holds amneziawg.exe, WinDivert.dll and WinDivert64.sys.
--include-dir names the folder of QuorvelHelper.wxi (written by CMake).
--testbed-file adds a file beside the helper: for the Wine-only test package
(the test bed's stand-ins), never for one that ships; --flavor then names
that package apart, and its product code with it.
--kit DIR leaves the fragment, its include file and the staged (signed)
files there: what a vendor builds their own package from.

wixl 0.101 builds a subset of WiX 3, so the sources are adapted on the way:
CustomAction and InstallExecuteSequence written in the fragment (where
candle takes them, and where a vendor's package finds them) move into the
Product, the only place wixl reads them; RemoveFile, which wixl lacks, is
taken out and its rows are inserted with msibuild afterwards; custom action
types are written as candle writes them (wixl drops Execute="rollback").
Then the built tables are checked (msiinfo export), since wixl drops or
moves things without a word: every action the sources number sits at that
number with its condition, every custom action has the type its attributes
mean, none comes after InstallFinalize, the order the package relies on
(ORDER below) holds, service names read as written ("$$" is one "$"), and
every RemoveFile row is there. Exits 1 and says what is wrong when a check
fails.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
import xml.etree.ElementTree as ET

WIX_NS = "http://schemas.microsoft.com/wix/2006/wi"
W = "{%s}" % WIX_NS
SOURCES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                        "installer"))
FRAGMENT = "QuorvelHelper.wxs"
PRODUCT = "Package.wxs"
INCLUDE = "QuorvelHelper.wxi"

# Where the files lie in the staged folder, as the fragment's Source
# attributes name them, and where each comes from.
THIRD_PARTY = {"awg/amneziawg.exe": "amneziawg.exe", "WinDivert.dll": "WinDivert.dll",
               "WinDivert64.sys": "WinDivert64.sys"}

# The order the package relies on in InstallExecuteSequence: (earlier,
# later, why). Numbers the sources give are checked apart.
ORDER = [
    ("InstallFiles", "QuorvelRegisterHelper",
     "the helper registers itself from its installed file"),
    ("InstallServices", "QuorvelRegisterHelper",
     "the registration updates what InstallServices wrote"),
    ("QuorvelUnregisterOnRollback", "QuorvelRegisterHelper",
     "a rollback action is scheduled before what it undoes"),
    ("QuorvelRegisterHelper", "StartServices",
     "the folder is judged before the service first runs as LocalSystem"),
    ("StopServices", "RemoveFiles", "the secrets go once the services have stopped"),
    ("DeleteServices", "RemoveFiles", "the secrets go once the services are gone"),
]
# Nothing between the two: the old version is removed inside the new
# install's transaction, so a failed upgrade brings it back.
ADJACENT = [("InstallInitialize", "RemoveExistingProducts")]
INSTALL_MODES = {"install": 1, "uninstall": 2, "both": 3}
# CustomAction.Type as candle writes it for an executable from the File
# table (18) with the given Return, Execute and Impersonate.
RETURN_BITS = {"check": 0, "ignore": 64, "asyncWait": 128, "asyncNoWait": 192}
EXECUTE_BITS = {"immediate": 0, "deferred": 1024, "rollback": 1024 | 256, "commit": 1024 | 512}


class Failure(Exception):
    pass


def run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            **kwargs)
    if result.returncode != 0:
        raise Failure("%s failed (exit %d):\n%s" % (command[0], result.returncode, result.stdout))
    return result.stdout


def load(path):
    # Processing instructions (the include) are kept: wixl preprocesses the
    # adapted copy as it would the source.
    parser = ET.XMLParser(target=ET.TreeBuilder(insert_pis=True))
    return ET.parse(path, parser)


def children(element, tag):
    return [child for child in list(element) if child.tag == W + tag]


def unescaped(text):
    # What the preprocessor makes of a literal: "$$" is one "$".
    return text.replace("$$", "$")


def sequenced_in_sources():
    """{action: (sequence, condition)} for every action the sources number."""
    numbered = {}
    for name in (FRAGMENT, PRODUCT):
        for sequence in load(os.path.join(SOURCES, name)).getroot().iter(W +
                                                                         "InstallExecuteSequence"):
            for action in sequence:
                if not isinstance(action.tag, str) or "Sequence" not in action.attrib:
                    continue
                name_ = action.get("Action") if action.tag == W + "Custom" else action.tag[len(W):]
                numbered[name_] = (int(action.get("Sequence")), (action.text or "").strip())
    return numbered


def removed_files(fragment_root):
    """The RemoveFile rows the fragment asks for, taken out of its tree."""
    rows = []
    parents = {child: parent for parent in fragment_root.iter() for child in parent}
    for component in fragment_root.iter(W + "Component"):
        for element in children(component, "RemoveFile"):
            directory = element.get("Directory") or element.get("Property") or \
                parents[component].get("Id")
            rows.append((element.get("Id"), component.get("Id"), element.get("Name"), directory,
                         INSTALL_MODES[element.get("On")]))
            component.remove(element)
    return rows


def custom_action_types(root):
    """{action: type} for the custom actions of a source (executables
    named by FileKey: the only kind the package has)."""
    types = {}
    for action in root.iter(W + "CustomAction"):
        if "FileKey" not in action.attrib or "ExeCommand" not in action.attrib:
            raise Failure("custom action %s: only FileKey with ExeCommand is known here" %
                          action.get("Id"))
        execute = action.get("Execute", "immediate")
        kind = 18 | RETURN_BITS[action.get("Return", "check")] | EXECUTE_BITS[execute]
        if action.get("Impersonate") == "no" and execute != "immediate":
            kind |= 2048
        types[action.get("Id")] = kind
    return types


def export(msi, table):
    """The rows of a table as lists of fields (msiinfo's .idt text)."""
    lines = run(["msiinfo", "export", msi, table]).split("\n")
    return [line.rstrip("\r").split("\t") for line in lines[3:] if line.strip()]


def check(msi):
    faults = []
    sequence = {row[0]: (int(row[2]), row[1]) for row in export(msi, "InstallExecuteSequence")}

    def at(action):
        return sequence[action][0] if action in sequence else None

    for action, (number, condition) in sorted(sequenced_in_sources().items()):
        if action not in sequence:
            faults.append("%s is missing from InstallExecuteSequence" % action)
        elif sequence[action] != (number, condition):
            faults.append("%s is at %d (%r), the sources say %d (%r)" %
                          (action, sequence[action][0], sequence[action][1], number, condition))
    finalize = at("InstallFinalize")
    for action, (number, _) in sorted(sequence.items()):
        if finalize is not None and number > finalize:
            faults.append("%s is at %d, after InstallFinalize (%d)" % (action, number, finalize))
    for earlier, later, why in ORDER:
        if at(earlier) is None or at(later) is None or at(earlier) >= at(later):
            faults.append("%s must come after %s (%s): %s at %s, %s at %s" %
                          (later, earlier, why, earlier, at(earlier), later, at(later)))
    for first, second in ADJACENT:
        present = at(first) is not None and at(second) is not None
        between = [a for a, (n, _) in sequence.items() if present and at(first) < n < at(second)]
        if not present or at(first) >= at(second) or between:
            faults.append("%s must directly follow %s (between: %s)" %
                          (second, first, ", ".join(sorted(between)) or "-"))

    fragment = load(os.path.join(SOURCES, FRAGMENT)).getroot()
    built_types = {row[0]: int(row[1]) for row in export(msi, "CustomAction")}
    for action, kind in sorted(custom_action_types(fragment).items()):
        if built_types.get(action) != kind:
            faults.append("CustomAction %s has type %s, the sources mean %d" %
                          (action, built_types.get(action), kind))
    for tag, table, columns in (("ServiceInstall", "ServiceInstall", {"Name": 1, "DisplayName": 2}),
                                ("ServiceControl", "ServiceControl", {"Name": 1})):
        built = {row[0]: row for row in export(msi, table)}
        for element in fragment.iter(W + tag):
            row = built.get(element.get("Id"))
            if row is None:
                faults.append("%s row %s is missing" % (table, element.get("Id")))
                continue
            for attribute, column in columns.items():
                if row[column] != unescaped(element.get(attribute)):
                    faults.append("%s %s %s is %r, the sources say %r" %
                                  (table, element.get("Id"), attribute, row[column],
                                   unescaped(element.get(attribute))))
    built_removals = {tuple(row) for row in export(msi, "RemoveFile")}
    for row in removed_files(fragment):
        if tuple(str(field) for field in row) not in built_removals:
            faults.append("RemoveFile row %s is missing or differs" % row[0])
    if faults:
        raise Failure("%s does not hold what the sources say:\n  " % msi + "\n  ".join(faults))


def sign(path, options):
    signed = path + ".signed"
    command = ["osslsigncode", "sign", "-pkcs12", options.sign, "-h", "sha256", "-n",
               "Quorvel Helper"]
    if options.password_file:
        command += ["-readpass", options.password_file]
    if options.timestamp:
        command += ["-ts", options.timestamp]
    # osslsigncode refuses to overwrite its output.
    if os.path.exists(signed):
        os.remove(signed)
    run(command + ["-in", path, "-out", signed])
    os.replace(signed, path)


def stage(options, folder):
    os.makedirs(os.path.join(folder, "awg"))
    shutil.copy2(options.helper, os.path.join(folder, "QuorvelHelper.exe"))
    shutil.copy2(options.client, os.path.join(folder, "quorvelctl.exe"))
    missing = [name for name in THIRD_PARTY.values()
               if not os.path.isfile(os.path.join(options.third_party, name))]
    if missing:
        raise Failure("%s lacks %s (AmneziaWG for Windows and WinDivert 2.2 x64)" %
                      (options.third_party, ", ".join(missing)))
    for target, name in THIRD_PARTY.items():
        shutil.copy2(os.path.join(options.third_party, name), os.path.join(folder, target))
    if options.sign:
        # Ours only: the tool and WinDivert come signed by their makers.
        for name in ("QuorvelHelper.exe", "quorvelctl.exe"):
            sign(os.path.join(folder, name), options)


def adapt(options, staged, work):
    """The sources as wixl 0.101 builds them; returns the RemoveFile rows."""
    ET.register_namespace("", WIX_NS)
    fragment = load(os.path.join(SOURCES, FRAGMENT))
    product = load(os.path.join(SOURCES, PRODUCT))
    product_element = product.getroot().find(W + "Product")
    for fragment_element in fragment.getroot().iter(W + "Fragment"):
        for element in list(fragment_element):
            if element.tag in (W + "CustomAction", W + "InstallExecuteSequence"):
                fragment_element.remove(element)
                if element.tag == W + "InstallExecuteSequence":
                    existing = product_element.find(W + "InstallExecuteSequence")
                    if existing is not None:
                        existing.extend(list(element))
                        continue
                product_element.append(element)
    removals = removed_files(fragment.getroot())
    # wixl reads Source as a host path: "\" is no separator on Linux.
    for file_element in fragment.getroot().iter(W + "File"):
        file_element.set("Source", file_element.get("Source").replace("\\", "/"))
    if options.testbed_file:
        extra = ET.SubElement(fragment.getroot(), W + "Fragment")
        folder = ET.SubElement(extra, W + "DirectoryRef", Id="QuorvelHelperFolder")
        group = ET.SubElement(extra, W + "ComponentGroup", Id="QuorvelTestBed")
        for index, path in enumerate(options.testbed_file):
            name = os.path.basename(path)
            shutil.copy2(path, os.path.join(staged, name))
            component_id = "QuorvelTestBed%d" % index
            component = ET.SubElement(folder, W + "Component", Id=component_id, Win64="yes",
                                      Guid=str(uuid.uuid5(uuid.NAMESPACE_URL,
                                                          "quorvel-testbed:" + name)).upper())
            ET.SubElement(component, W + "File", Id=component_id + "File", Name=name,
                          Source="$(var.QuorvelFiles)/" + name, KeyPath="yes")
            ET.SubElement(group, W + "ComponentRef", Id=component_id)
        feature = product_element.find(W + "Feature")
        ET.SubElement(feature, W + "ComponentGroupRef", Id="QuorvelTestBed")
    fragment.write(os.path.join(work, FRAGMENT), encoding="utf-8", xml_declaration=True)
    product.write(os.path.join(work, PRODUCT), encoding="utf-8", xml_declaration=True)
    return removals, product_element.get("UpgradeCode")


def build(options):
    for tool in ("wixl", "msibuild", "msiinfo") + (("osslsigncode",) if options.sign else ()):
        if shutil.which(tool) is None:
            raise Failure("%s is missing (scripts/package.sh installs it)" % tool)
    with tempfile.TemporaryDirectory(prefix="quorvel-msi-") as work:
        staged = os.path.join(work, "files")
        stage(options, staged)
        removals, upgrade_code = adapt(options, staged, work)
        # One product code per version (and flavour): a rebuild of the same
        # version is the same product, never a second entry beside it.
        product_code = str(uuid.uuid5(uuid.UUID(upgrade_code), "QuorvelHelper %s %s x64" %
                                      (options.flavor, options.version))).upper()
        msi = os.path.join(work, "package.msi")
        # Sources relative to the working folder: wixl 0.101 cannot open an
        # absolute Source path.
        run(["wixl", "-a", "x64", "-I", os.path.abspath(options.include_dir), "-D",
             "QuorvelVersion=" + options.version, "-D", "QuorvelProductCode=" + product_code,
             "-D", "QuorvelFiles=" + os.path.basename(staged), "-o", msi, PRODUCT, FRAGMENT],
            cwd=work)
        for row in removals:
            run(["msibuild", msi, "-q",
                 "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, "
                 "`InstallMode`) VALUES ('%s', '%s', '%s', '%s', %d)" % row])
        # wixl 0.101 drops Execute="rollback" and writes an immediate action
        # in its place: one that would run during every install.
        fragment_root = load(os.path.join(SOURCES, FRAGMENT)).getroot()
        for action, kind in custom_action_types(fragment_root).items():
            run(["msibuild", msi, "-q",
                 "UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'" % (kind, action)])
        check(msi)
        if options.sign:
            sign(msi, options)
        os.makedirs(os.path.dirname(os.path.abspath(options.out)), exist_ok=True)
        shutil.copyfile(msi, options.out)
        if options.kit:
            if os.path.exists(options.kit):
                shutil.rmtree(options.kit)
            shutil.copytree(staged, os.path.join(options.kit, "files"))
            shutil.copy2(os.path.join(SOURCES, FRAGMENT), options.kit)
            shutil.copy2(os.path.join(options.include_dir, INCLUDE), options.kit)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("build")
    make.add_argument("--helper", required=True)
    make.add_argument("--client", required=True)
    make.add_argument("--third-party", required=True)
    make.add_argument("--version", required=True)
    make.add_argument("--include-dir", required=True)
    make.add_argument("--out", required=True)
    make.add_argument("--flavor", default="release")
    make.add_argument("--testbed-file", action="append")
    make.add_argument("--kit")
    make.add_argument("--sign")
    make.add_argument("--password-file")
    make.add_argument("--timestamp")
    checking = commands.add_parser("check")
    checking.add_argument("msi")
    options = parser.parse_args()
    try:
        if options.command == "build":
            build(options)
        else:
            check(options.msi)
    except Failure as failure:
        print("make_msi: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
