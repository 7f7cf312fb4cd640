# -*- coding: utf-8 -*-
# Runs kqsctl --json for the kqsd modules and turns its failures into
# Ansible failures that carry the server's return code name and the hint.
# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import json


def kqsctl_argument_spec():
    """The options every kqsd module takes."""
    return dict(
        server=dict(type='str', default='127.0.0.1'),
        timeout=dict(type='int'),
        kqsctl=dict(type='path', default='kqsctl'),
        plain=dict(type='bool', default=False),
        cacert=dict(type='path'),
        cert=dict(type='path'),
        key=dict(type='path', no_log=False),
    )


def run_kqsctl(module, args, password=None, targeted=True):
    """Runs kqsctl --json ARGS (with -H server when targeted) and returns
    (exit status, the JSON it printed or None, its stderr)."""
    binary = module.params['kqsctl']
    if '/' not in binary:
        binary = module.get_bin_path(binary, required=True)
    cmd = [binary, '--json']
    if targeted:
        cmd += ['-H', module.params['server']]
        # The channel: TLS (pinned, or --cacert) unless plain; as kqsctl does.
        if module.params.get('plain'):
            cmd.append('--plain')
        for option in ('cacert', 'cert', 'key'):
            if module.params.get(option):
                cmd += ['--' + option, module.params[option]]
    if module.params.get('timeout'):
        cmd += ['--timeout', str(module.params['timeout'])]
    cmd += args
    rc, out, err = module.run_command(cmd, data=password)
    try:
        doc = json.loads(out) if out.strip() else None
    except ValueError:
        doc = None
    return rc, doc, err.strip()


def fail_kqsctl(module, rc, doc, err, **result):
    """Fails the task with what kqsctl said: its message, the server's
    return code and its name, the next step, and kqsctl's exit status."""
    if isinstance(doc, dict) and doc.get('error'):
        result['msg'] = doc['error']
        for key, name in (('code', 'code'), ('codeName', 'code_name'), ('hint', 'hint')):
            if key in doc:
                result[name] = doc[key]
    else:
        result['msg'] = err or 'kqsctl failed with status %d' % rc
    module.fail_json(rc=rc, **result)
