#!/usr/bin/env python3
"""The manifest Windows reads (RT_MANIFEST 1) in the stub and in per-user and
all-users uninstallers and templates packed by the CLI (SWEEPKIT_CLI)."""
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
V1, V3 = '{urn:schemas-microsoft-com:asm.v1}', '{urn:schemas-microsoft-com:asm.v3}'
LEVEL_PATH = '{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel'.format(V3)
NAMESPACE = re.compile(rb'xmlns(?::\w+)?\s*=\s*["\']([^"\']*)')


def check_manifest(data, level):
    image = PeImage(data)
    keys = [key for key in image.resources() if key[0] == RT_MANIFEST]
    if [name for _, name, _ in keys] != [1]:
        return ['manifests %s, not exactly one with id 1' % keys]
    return check_manifest_text(image.resource(*keys[0]), level)


def check_manifest_text(text, level):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return ['not well-formed: %s' % error]
    problems = []
    for tag in re.findall(rb'<[^>]*>', text):
        if len(set(NAMESPACE.findall(tag))) != len(NAMESPACE.findall(tag)):
            problems.append('a start tag binds one namespace twice: %s' % tag)
    if [root.tag] + [child.tag for child in root] != [V1 + 'assembly', V3 + 'trustInfo']:
        problems.append('declares %s, not one asm.v3 trustInfo' % [child.tag for child in root])
    trust = [e for e in root.iter() if e.tag.endswith('trustInfo')]
    levels = [e.attrib for e in root.iter() if e.tag.endswith('requestedExecutionLevel')]
    if len(trust) != 1 or len(levels) != 1 or trust[0].find(LEVEL_PATH) is None:
        problems.append('%d trustInfo, %d requestedExecutionLevel' % (len(trust), len(levels)))
    elif levels[0] != {'level': level, 'uiAccess': 'false'}:
        problems.append('requestedExecutionLevel %s, not level %s' % (levels[0], level))
    return problems


class Manifest(unittest.TestCase):
    def test_stub_and_each_installation(self):
        stub = stub_bytes()
        self.assertEqual(check_manifest(stub, 'requireAdministrator'), [])
        where = PeImage(stub).resources()[(RT_MANIFEST, 1, 0)]
        cli = os.environ.get('SWEEPKIT_CLI', os.path.join(REPO, 'dist', 'sweepkit'))
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, 'stub.exe'), 'wb') as f:
                f.write(stub)
            for example, options in (('literal/vantor-gliders.json', []),
                                     ('vantor-gliders.json', ['--template'])):
                with open(os.path.join(REPO, 'examples', example), encoding='utf-8') as f:
                    manifest = json.load(f)
                for root, level in (('HKCU', 'asInvoker'), ('HKLM', 'requireAdministrator')):
                    with self.subTest(example=example, root=root):
                        for key in manifest['keys']:
                            key['root'] = root
                        with open(os.path.join(scratch, 'app.json'), 'w', encoding='utf-8') as f:
                            json.dump(manifest, f)
                        subprocess.run([cli, 'pack', '--stub', 'stub.exe', '--manifest', 'app.json',
                                        '--out', 'out.exe'] + options, cwd=scratch, check=True,
                                       timeout=60, stdout=subprocess.DEVNULL)
                        with open(os.path.join(scratch, 'out.exe'), 'rb') as f:
                            packed = f.read()
                        self.assertEqual(check_manifest(packed, level), [])
                        # set in place: the resource where it was, as long
                        self.assertEqual(PeImage(packed).resources()[(RT_MANIFEST, 1, 0)], where)

    def test_faults_are_caught(self):
        text = PeImage(stub_bytes()).resource(RT_MANIFEST, 1, 0)
        v3 = b'xmlns="urn:schemas-microsoft-com:asm.v3"'
        twice = text.replace(v3, v3 + b' xmlns:v3="urn:schemas-microsoft-com:asm.v3"')
        self.assertIn('twice', ' '.join(check_manifest_text(twice, 'requireAdministrator')))
        self.assertIn('not level asInvoker', ' '.join(check_manifest_text(text, 'asInvoker')))


if __name__ == '__main__':
    unittest.main()
