#!/usr/bin/env python3
"""The stub's manifest as Windows reads it (RT_MANIFEST 1), in the shipped
stub and in uninstallers packed by `sweepkit` for a per-user and an
all-users installation, finished and as templates: well-formed XML, one
trustInfo, one requestedExecutionLevel with the level the installation
calls for, nothing else declared, and no start tag that binds one namespace
twice (Windows XP SP2 fails on that)."""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_image import PeImage  # noqa: E402
from test_stub_pe import REPO, stub_bytes  # noqa: E402

RT_MANIFEST = 24
ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'


def check_manifest_text(text, level):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return ['not well-formed: %s' % error]
    problems = []
    for tag in re.findall(rb'<[^!?/][^>]*>', text):
        uris = re.findall(rb'xmlns(?::\w+)?\s*=\s*["\']([^"\']*)', tag)
        if len(uris) != len(set(uris)):
            problems.append('a start tag binds one namespace twice: %s' % tag.decode())
    if root.tag != ASM_V1 + 'assembly':
        problems.append('root element %s' % root.tag)
    declared = [child.tag for child in root]
    if declared != [ASM_V3 + 'trustInfo']:
        problems.append('the assembly declares %s, not one asm.v3 trustInfo' % declared)
    trust = [e for e in root.iter() if e.tag.endswith('trustInfo')]
    levels = [e.attrib for e in root.iter() if e.tag.endswith('requestedExecutionLevel')]
    if len(trust) != 1:
        problems.append('%d trustInfo elements' % len(trust))
    path = '%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel' % (ASM_V3, ASM_V3, ASM_V3)
    if len(levels) != 1 or trust and trust[0].find(path) is None:
        problems.append('%d requestedExecutionLevel elements, not one in trustInfo/security/'
                        'requestedPrivileges' % len(levels))
    elif levels[0] != {'level': level, 'uiAccess': 'false'}:
        problems.append('requestedExecutionLevel %s, not level %s' % (levels[0], level))
    return problems


def check_manifest(data, level):
    resources = PeImage(data).resources()
    manifests = [key for key in resources if key[0] == RT_MANIFEST]
    if [name for _, name, _ in manifests] != [1]:
        return ['manifests %s, not exactly one with id 1' % manifests]
    return check_manifest_text(PeImage(data).resource(*manifests[0]), level)


def cli():
    return os.environ.get('SWEEPKIT_CLI', os.path.join(REPO, 'dist', 'sweepkit'))


class Manifest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stub = stub_bytes()

    def test_shipped_stub_requires_administrator(self):
        self.assertEqual(check_manifest(self.stub, 'requireAdministrator'), [])

    def test_each_installation_gets_its_level(self):
        stub = os.environ.get('SWEEPKIT_STUB', os.path.join(REPO, 'dist', 'sweepkit-stub.exe'))
        variants = [('HKEY_CURRENT_USER', 'asInvoker'), ('HKEY_LOCAL_MACHINE', 'requireAdministrator')]
        with tempfile.TemporaryDirectory() as scratch:
            for example, template in (('literal/vantor-gliders.json', []),
                                      ('vantor-gliders.json', ['--template'])):
                with open(os.path.join(REPO, 'examples', example), encoding='utf-8') as f:
                    manifest = json.load(f)
                for root, level in variants:
                    with self.subTest(example=example, root=root):
                        for key in manifest['keys']:
                            key['root'] = root
                        path = os.path.join(scratch, 'app.json')
                        out = os.path.join(scratch, 'out.exe')
                        with open(path, 'w', encoding='utf-8') as f:
                            json.dump(manifest, f)
                        subprocess.run([cli(), 'pack', '--stub', stub, '--manifest', path,
                                        '--out', out] + template, check=True, timeout=60,
                                       stdout=subprocess.DEVNULL)
                        with open(out, 'rb') as f:
                            packed = f.read()
                        self.assertEqual(check_manifest(packed, level), [])
                        # Set in place: the resource where it was, as long.
                        key = (RT_MANIFEST, 1, 0)
                        self.assertEqual(PeImage(packed).resources()[key],
                                         PeImage(self.stub).resources()[key])

    def test_faults_are_caught(self):
        text = PeImage(self.stub).resource(RT_MANIFEST, 1, 0)
        cases = [
            (text.replace(b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"',
                          b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3" '
                          b'xmlns:v3="urn:schemas-microsoft-com:asm.v3"'), 'binds one namespace twice'),
            (text.replace(b'</trustInfo>', b'</trustInfo><trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"/>'),
             '2 trustInfo elements'),
            (text.replace(b'<trustInfo', b'<dependency/><trustInfo'), 'declares'),
            (text.replace(b'</security>', b'</security'), 'not well-formed'),
            (text, 'not level asInvoker'),
        ]
        for damaged, problem in cases:
            problems = check_manifest_text(damaged, 'asInvoker')
            self.assertTrue(any(problem in p for p in problems), (problem, problems))


if __name__ == '__main__':
    unittest.main()
