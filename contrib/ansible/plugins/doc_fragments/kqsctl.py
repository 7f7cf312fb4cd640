# -*- coding: utf-8 -*-
# The options every kqsd module takes, documented once.
# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  server:
    description:
      - The kqsd server.
    type: str
    default: 127.0.0.1
  timeout:
    description:
      - Milliseconds to wait for each answer.
    type: int
  kqsctl:
    description:
      - The kqsctl program on the node that runs the task.
    type: path
    default: kqsctl
  plain:
    description:
      - Use the plain port 55554 instead of TLS on 55555; the password then crosses the network in clear.
    type: bool
    default: false
  cacert:
    description:
      - Verify the server by these CA certificates and its name instead of the pinned fingerprint.
    type: path
  cert:
    description:
      - A console certificate for a server with C([TLS] ClientCA) (then no password is needed).
    type: path
  key:
    description:
      - The key of I(cert).
    type: path
'''
