"""What every python test here reports with: a check that says what it saw, and its failure."""


class CheckFailed(Exception):
    pass


def say(text):
    print(text, flush=True)


def check(condition, text, detail=""):
    if not condition:
        raise CheckFailed(text + (f" ({detail})" if detail else ""))
    say("ok: " + text)
