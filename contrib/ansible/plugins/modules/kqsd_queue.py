#!/usr/bin/python
# -*- coding: utf-8 -*-
# Creates and removes print queues on a kqsd print server through kqsctl.

# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
module: kqsd_queue
short_description: Print queues on a kqsd print server
description:
  - Creates or removes a print queue on a kqsd server by running
    C(kqsctl --json) on the node that runs the task; run it with
    C(connection=local) or C(delegate_to=localhost) and name the
    server with I(server).
  - The management protocol cannot read a queue's settings back. C(present)
    on a queue that exists reports C(changed=false) whatever its settings;
    to change a setting, remove the queue (C(state=absent)) and create it
    again.
author:
  - kqsd developers (!UNKNOWN)
options:
  name:
    description:
      - The queue's name (letters, digits, C(_) and C(-); the first a letter or digit).
    type: str
    required: true
  state:
    description:
      - Whether the queue exists.
    type: str
    choices: [present, absent]
    default: present
  model:
    description:
      - The printer model (required with C(state=present)).
    type: str
  device:
    description:
      - The device (required with C(state=present)).
    type: str
  queue_class:
    description:
      - A class the queue joins.
    type: str
    aliases: [class]
  default:
    description:
      - Make the queue the default destination.
    type: bool
    default: false
  export:
    description:
      - The EXPort value.
    type: int
  ip_port:
    description:
      - The printer's TCP port.
    type: int
  type:
    description:
      - The model type (by default the model's name).
    type: str
  devtype:
    description:
      - The device type.
    type: str
  teoj:
    description:
      - Wait for the printer to close the connection at the end of each job.
    type: bool
    default: false
  jrecov:
    description:
      - Send a job again when the printer refuses or resets the connection.
    type: bool
    default: false
  banner:
    description:
      - Print a banner page.
    type: bool
    default: false
  pslevel:
    description:
      - PostScript level, 1 to 3.
    type: int
  personality:
    description:
      - The printer's personality.
    type: str
  login:
    description:
      - The administrator password, for servers that enforce access.
    type: str
attributes:
  check_mode:
    description: Reports what would change without changing it.
    support: full
extends_documentation_fragment:
  - kqsd.console.kqsctl
'''

EXAMPLES = r'''
- name: The queue lab on every print server
  kqsd.console.kqsd_queue:
    server: "{{ inventory_hostname }}"
    name: lab
    model: postscript
    device: /dev/null
    login: "{{ kqsd_password }}"
  delegate_to: localhost
'''

RETURN = r'''
name:
  description: The queue's name.
  type: str
  returned: always
state:
  description: The state asked for.
  type: str
  returned: always
code_name:
  description: The server's return code name (also on failure).
  type: str
  returned: when the server answered
hint:
  description: The next step after a refusal.
  type: str
  returned: on failure, when known
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kqsd.console.plugins.module_utils.kqsctl import (
    fail_kqsctl, kqsctl_argument_spec, run_kqsctl)

# Module option -> kqsctl option; booleans are switches.
VALUE_OPTIONS = (('model', '--model'), ('device', '--device'), ('queue_class', '--class'),
                 ('export', '--export'), ('ip_port', '--ip-port'), ('type', '--type'),
                 ('devtype', '--devtype'), ('pslevel', '--pslevel'), ('personality', '--personality'))
SWITCHES = (('default', '--default'), ('teoj', '--teoj'), ('jrecov', '--jrecov'), ('banner', '--banner'))


def main():
    spec = kqsctl_argument_spec()
    spec.update(
        name=dict(type='str', required=True),
        state=dict(type='str', choices=['present', 'absent'], default='present'),
        model=dict(type='str'), device=dict(type='str'),
        queue_class=dict(type='str', aliases=['class']),
        default=dict(type='bool', default=False),
        export=dict(type='int'), ip_port=dict(type='int'), type=dict(type='str'),
        devtype=dict(type='str'), teoj=dict(type='bool', default=False),
        jrecov=dict(type='bool', default=False), banner=dict(type='bool', default=False),
        pslevel=dict(type='int'), personality=dict(type='str'),
        login=dict(type='str', no_log=True),
    )
    module = AnsibleModule(argument_spec=spec, supports_check_mode=True,
                           required_if=[('state', 'present', ('model', 'device'))])
    p = module.params
    result = dict(changed=False, name=p['name'], state=p['state'])

    rc, queues, err = run_kqsctl(module, ['queues'])
    if rc != 0 or not isinstance(queues, list):
        fail_kqsctl(module, rc, queues, err, **result)
    exists = any(q.get('name') == p['name'] for q in queues)
    if exists == (p['state'] == 'present'):
        module.exit_json(**result)
    result['changed'] = True
    if module.check_mode:
        module.exit_json(**result)

    if p['state'] == 'present':
        args = ['add-queue', p['name']]
        for option, flag in VALUE_OPTIONS:
            if p[option] is not None:
                args += [flag, str(p[option])]
        args += [flag for option, flag in SWITCHES if p[option]]
    else:
        args = ['remove-queue', p['name']]
    if p['login'] is not None:
        args.append('--login')
    rc, doc, err = run_kqsctl(module, args, password=p['login'])
    if rc != 0:
        result['changed'] = False
        fail_kqsctl(module, rc, doc, err, **result)
    result['code_name'] = doc.get('codeName') if isinstance(doc, dict) else None
    module.exit_json(**result)


if __name__ == '__main__':
    main()
