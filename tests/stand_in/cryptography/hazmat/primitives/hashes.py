"""Stand-in hash algorithm objects (test double)."""


class SHA256:
    name = "sha256"
    digest_size = 32
