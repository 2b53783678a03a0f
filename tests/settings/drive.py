#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Drives quorvane-settings through its accessibility tree (dogtail over
AT-SPI), as a user would: each argument is one step.

  press:LABEL        press the main window's button or page tab named LABEL
                     (its accessible label or the text it shows)
  answer:LABEL       press the open dialog's button LABEL
  type:FIELD=TEXT    put TEXT into the text field named FIELD
  see:TEXT           wait until a label, button or field shows TEXT
  gone:TEXT          wait until nothing shows TEXT any more
  dump               print the tree (for writing new steps)

Every wait is bounded (dogtail's own search retries, about 20 s); a step
that fails ends the run with status 1 and says which."""
import sys

from dogtail.config import config

config.checkForA11y = False  # GTK 4 speaks AT-SPI itself; no GNOME setting to read
config.searchCutoffCount = 40
config.logDebugToFile = False
from dogtail import predicate, tree, utils  # noqa: E402

ROLES = ("label", "push button", "toggle button", "text", "heading")


def app():
    return tree.root.findChild(
        predicate.GenericPredicate(name="quorvane-settings", roleName="application"), recursive=False)


PRESSABLE = ("push button", "toggle button", "page tab")


def named(node, label):
    """A button is named by its accessible label, or by the label it shows
    (a dialog's response buttons carry their mnemonic in their name)."""
    return node.name == label or any(c.roleName == "label" and c.name == label for c in node.children)


def shown(node, text):
    return node.roleName in ROLES and text in (node.name or "")


def find(root, text, retry=True):
    for _ in range(config.searchCutoffCount if retry else 1):
        try:  # a window closing under the search ends it; search again
            found = root.findChild(lambda n: shown(n, text), retry=False, requireResult=False)
        except Exception:
            found = None
        if found is not None or not retry:
            return found
        utils.doDelay(config.searchBackoffDuration)
    return None


def press(root, where, label):
    for _ in range(config.searchCutoffCount):
        for top in root.findChildren(lambda n: n.roleName in where, recursive=False):
            button = top.findChild(lambda n: n.roleName in PRESSABLE and n.sensitive and named(n, label),
                                   requireResult=False, retry=False)
            if button is not None:
                button.doActionNamed("click")
                return None
        utils.doDelay(config.searchBackoffDuration)
    return "no button " + label


def step(root, word):
    verb, _, arg = word.partition(":")
    if verb == "press":
        return press(root, ("frame",), arg)
    elif verb == "answer":
        return press(root, ("dialog",), arg)
    elif verb == "type":
        field, _, text = arg.partition("=")
        node = root.findChild(predicate.GenericPredicate(name=field, roleName="text"), requireResult=False)
        if node is None:
            return "no field " + field
        node.text = text
    elif verb == "see":
        if find(root, arg) is None:
            return "nothing shows " + arg
    elif verb == "gone":
        for _ in range(config.searchCutoffCount):
            if find(root, arg, retry=False) is None:
                return None
            utils.doDelay(config.searchBackoffDuration)
        return "still shown: " + arg
    elif verb == "dump":
        root.dump()
    else:
        return "unknown step " + word
    return None


def main():
    root = app()
    for word in sys.argv[1:]:
        why = step(root, word)
        if why:
            print("step %r failed: %s" % (word, why), file=sys.stderr)
            root.dump()
            return 1
        print("done: " + word)
    return 0


if __name__ == "__main__":
    sys.exit(main())
