"""The low-level messages' CRC-32: polynomial 0x04C11DB7, initial value
0xFFFFFFFF, no reflection, no final XOR, over the message's C struct image
taken as little-endian 32-bit words (every word but the crc itself), each
word fed most significant bit first.

The messages have fixed lengths, so the CRC is affine in the image's bytes:
crc = crc(zeros) ^ XOR_j T[j, byte_j], with one 256-entry table per byte
position. `Crc32(n_words)` builds those tables once (0.25 MB per 250 words)
and then takes one gather and one XOR reduction per message.
"""

import numpy as np

POLY = 0x04C11DB7
INIT = 0xFFFFFFFF
_TOP = 0x80000000
_MASK = 0xFFFFFFFF


def crc32_words(words):
    """The CRC of a sequence of 32-bit words, bit by bit (the reference)."""
    reg = INIT
    for w in words:
        w = int(w)
        for bit in range(31, -1, -1):
            top = (reg >> 31) ^ (w >> bit & 1)
            reg = (reg << 1) & _MASK
            if top:
                reg ^= POLY
    return reg


def _shift_zeros(reg, n):
    """The register after n zero bits."""
    for _ in range(n):
        reg = ((reg << 1) & _MASK) ^ (POLY if reg & _TOP else 0)
    return reg


class Crc32:
    """The CRC of images of `n_words` little-endian words."""

    def __init__(self, n_words):
        self.n_words = n_words
        n_bits = 32 * n_words
        # contrib[s]: what a one fed at step s adds to the final register
        # (init 0): x^32 shifted by the zero bits that follow it.
        contrib = np.empty(n_bits, dtype=np.uint32)
        v = POLY
        for s in range(n_bits - 1, -1, -1):
            contrib[s] = v
            v = ((v << 1) & _MASK) ^ (POLY if v & _TOP else 0)
        self.zero = _shift_zeros(INIT, n_bits)
        # Byte j of the image is byte j % 4 of word j // 4 (little-endian);
        # its bit k is the word's bit 8 (j % 4) + k, fed at step
        # 32 (j // 4) + 31 - (8 (j % 4) + k).
        j = np.arange(4 * n_words)
        steps = (32 * (j // 4) + 31 - 8 * (j % 4))[:, None] - np.arange(8)[None, :]
        bit_contrib = contrib[steps]                                       # (bytes, 8)
        values = np.arange(256)
        table = np.zeros((4 * n_words, 256), dtype=np.uint32)
        for k in range(8):
            table ^= np.where((values >> k & 1).astype(bool)[None, :], bit_contrib[:, k:k + 1], np.uint32(0))
        self.table = table
        self._flat = table.reshape(-1)
        self._row = (j * 256).astype(np.intp)

    def __call__(self, image):
        """The CRC of the image's first `n_words` words (bytes or uint8 array)."""
        b = np.frombuffer(image, dtype=np.uint8, count=4 * self.n_words) if not isinstance(image, np.ndarray) \
            else image[:4 * self.n_words]
        return int(np.bitwise_xor.reduce(self._flat[self._row + b])) ^ self.zero

    def gather(self, positions):
        """A CRC over chosen image positions only: `positions` are the image
        byte positions that may be non-zero (the others, the padding, are
        zero); the returned function takes their bytes in that order."""
        positions = np.asarray(positions, dtype=np.intp)
        flat, zero = self._flat, self.zero
        rows = positions * 256

        def crc(values):
            return int(np.bitwise_xor.reduce(flat[rows + values])) ^ zero
        return crc
