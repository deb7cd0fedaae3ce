"""Low-level GGUF writer (and a small reader) for building test model files.

The writer keeps plain lists of metadata entries and tensor records and
serialises them on demand. Nothing is validated: counts, offsets, magic,
version, type ids and lengths can all be overridden so that the same code
produces both well-formed files and deliberately broken ones.

    w = GGUFWriter()
    w.add_string("general.architecture", "qwen35")
    w.add_uint32("qwen35.block_count", 4)
    w.add_array("tokenizer.ggml.token_type", INT32, [1, 1, 3])
    w.add_tensor("output_norm.weight", [256], GGML_F32, np.ones(256, np.float32).tobytes())
    w.write("/tmp/x.gguf")
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import numpy as np

GGUF_MAGIC = b"GGUF"
DEFAULT_ALIGNMENT = 32

# Metadata value type ids.
(UINT8, INT8, UINT16, INT16, UINT32, INT32, FLOAT32, BOOL, STRING, ARRAY, UINT64, INT64,
 FLOAT64) = range(13)

VALUE_TYPE_NAMES = {
    UINT8: "uint8", INT8: "int8", UINT16: "uint16", INT16: "int16",
    UINT32: "uint32", INT32: "int32", FLOAT32: "float32", BOOL: "bool",
    STRING: "string", ARRAY: "array", UINT64: "uint64", INT64: "int64",
    FLOAT64: "float64",
}

# Fixed-size scalars: struct format and numpy dtype.
_SCALAR_FMT = {
    UINT8: "<B", INT8: "<b", UINT16: "<H", INT16: "<h", UINT32: "<I",
    INT32: "<i", FLOAT32: "<f", BOOL: "<B", UINT64: "<Q", INT64: "<q",
    FLOAT64: "<d",
}
_SCALAR_DTYPE = {
    UINT8: "<u1", INT8: "<i1", UINT16: "<u2", INT16: "<i2", UINT32: "<u4",
    INT32: "<i4", FLOAT32: "<f4", BOOL: "<u1", UINT64: "<u8", INT64: "<i8",
    FLOAT64: "<f8",
}

# Tensor element type ids used by the generator.
GGML_F32, GGML_F16, GGML_Q8_0, GGML_Q4_K, GGML_Q5_K, GGML_Q6_K = 0, 1, 8, 12, 13, 14

# (values per block, bytes per block) of the types we can size.
BLOCK_GEOMETRY = {
    GGML_F32: (1, 4),
    GGML_F16: (1, 2),
    GGML_Q8_0: (32, 34),
    GGML_Q4_K: (256, 144),
    GGML_Q5_K: (256, 176),
    GGML_Q6_K: (256, 210),
}

TYPE_NAMES = {GGML_F32: "F32", GGML_F16: "F16", GGML_Q8_0: "Q8_0",
              GGML_Q4_K: "Q4_K", GGML_Q5_K: "Q5_K", GGML_Q6_K: "Q6_K"}
TYPE_IDS = {v: k for k, v in TYPE_NAMES.items()}

U64_MASK = (1 << 64) - 1


def tensor_nbytes(dims: Sequence[int], ttype: int) -> int:
    """Byte size of a tensor of a usable type (whole rows of whole blocks)."""
    per_block, block_bytes = BLOCK_GEOMETRY[ttype]
    ne0 = dims[0] if dims else 0
    if ne0 % per_block:
        raise ValueError(f"ne0 {ne0} not a multiple of {per_block} for {TYPE_NAMES[ttype]}")
    rows = 1
    for d in dims[1:]:
        rows *= d
    return rows * (ne0 // per_block) * block_bytes


def encode_string(s: Union[str, bytes], length: Optional[int] = None) -> bytes:
    """u64 length + bytes; `length` lets a test lie about the size."""
    b = s.encode("utf-8") if isinstance(s, str) else bytes(s)
    n = len(b) if length is None else length
    return struct.pack("<Q", n & U64_MASK) + b


def encode_value(vtype: int, value: Any, elem_type: Optional[int] = None,
                 length: Optional[int] = None) -> bytes:
    """Encode a value body (without its type id).

    For ARRAY, `value` is a sequence of elements of `elem_type`; an element of
    a nested array (elem_type ARRAY) is a (sub_elem_type, sub_values) pair.
    `length` overrides the written string or array length.
    """
    if vtype in _SCALAR_FMT:
        if vtype == BOOL:
            value = int(bool(value)) if isinstance(value, bool) else int(value)
        return struct.pack(_SCALAR_FMT[vtype], value)
    if vtype == STRING:
        return encode_string(value, length)
    if vtype == ARRAY:
        if elem_type is None:
            raise ValueError("array needs an element type")
        n = len(value) if length is None else length
        head = struct.pack("<IQ", elem_type & 0xFFFFFFFF, n & U64_MASK)
        if elem_type in _SCALAR_DTYPE:
            arr = np.asarray(value)
            if elem_type == BOOL:
                arr = arr.astype(bool)
            return head + arr.astype(_SCALAR_DTYPE[elem_type]).tobytes()
        if elem_type == STRING:
            return head + b"".join(encode_string(s) for s in value)
        if elem_type == ARRAY:
            return head + b"".join(
                struct.pack("<I", sub[0]) + encode_value(ARRAY, sub[1], sub[0]) for sub in value)
        raise ValueError(f"cannot encode array elements of type {elem_type}")
    raise ValueError(f"cannot encode value type {vtype}")


@dataclass
class KV:
    key: Union[str, bytes]
    vtype: int
    value: Any = None
    elem_type: Optional[int] = None
    length: Optional[int] = None   # lie about a string/array length
    raw: Optional[bytes] = None    # the whole entry verbatim (key included)

    def to_bytes(self) -> bytes:
        if self.raw is not None:
            return self.raw
        return (encode_string(self.key) + struct.pack("<I", self.vtype & 0xFFFFFFFF)
                + encode_value(self.vtype, self.value, self.elem_type, self.length))


TensorData = Union[bytes, bytearray, memoryview, Callable[[], Iterable[bytes]], None]


@dataclass
class Tensor:
    name: Union[str, bytes]
    dims: list
    ttype: int
    data: TensorData = None
    nbytes: Optional[int] = None   # required when data is a callable
    offset: Optional[int] = None   # header offset; None = where the data really goes
    n_dims: Optional[int] = None   # header dim count; None = len(dims)

    def data_size(self) -> int:
        if self.nbytes is not None:
            return self.nbytes
        if self.data is None:
            return 0
        if callable(self.data):
            raise ValueError(f"tensor {self.name!r}: a data callable needs nbytes")
        return len(self.data)

    def info_bytes(self, offset: int) -> bytes:
        nd = len(self.dims) if self.n_dims is None else self.n_dims
        out = [encode_string(self.name), struct.pack("<I", nd & 0xFFFFFFFF)]
        out += [struct.pack("<Q", int(d) & U64_MASK) for d in self.dims]
        off = offset if self.offset is None else self.offset
        out.append(struct.pack("<IQ", self.ttype & 0xFFFFFFFF, off & U64_MASK))
        return b"".join(out)

    def chunks(self) -> Iterable[bytes]:
        if self.data is None:
            return
        if callable(self.data):
            yield from self.data()
        else:
            yield bytes(self.data)


def _align(n: int, a: int) -> int:
    return n if a <= 1 else (n + a - 1) // a * a


@dataclass
class GGUFWriter:
    """A GGUF file under construction; every header field can be forced."""
    kvs: list = field(default_factory=list)
    tensors: list = field(default_factory=list)
    version: int = 3
    magic: bytes = GGUF_MAGIC
    tensor_count: Optional[int] = None   # header overrides
    kv_count: Optional[int] = None
    alignment: Optional[int] = None      # padding used; None = from general.alignment
    trailer: bytes = b""                 # appended after the tensor data

    # -- metadata -----------------------------------------------------------------
    def add_kv(self, key, vtype, value=None, elem_type=None, length=None) -> KV:
        kv = KV(key, vtype, value, elem_type, length)
        self.kvs.append(kv)
        return kv

    def add_raw_kv(self, raw: bytes) -> KV:
        kv = KV(b"", -1, raw=raw)
        self.kvs.append(kv)
        return kv

    def add_uint8(self, k, v): return self.add_kv(k, UINT8, v)
    def add_int8(self, k, v): return self.add_kv(k, INT8, v)
    def add_uint16(self, k, v): return self.add_kv(k, UINT16, v)
    def add_int16(self, k, v): return self.add_kv(k, INT16, v)
    def add_uint32(self, k, v): return self.add_kv(k, UINT32, v)
    def add_int32(self, k, v): return self.add_kv(k, INT32, v)
    def add_uint64(self, k, v): return self.add_kv(k, UINT64, v)
    def add_int64(self, k, v): return self.add_kv(k, INT64, v)
    def add_float32(self, k, v): return self.add_kv(k, FLOAT32, v)
    def add_float64(self, k, v): return self.add_kv(k, FLOAT64, v)
    def add_bool(self, k, v): return self.add_kv(k, BOOL, v)
    def add_string(self, k, v): return self.add_kv(k, STRING, v)

    def add_array(self, k, elem_type, values, length=None):
        return self.add_kv(k, ARRAY, values, elem_type, length)

    def add_string_array(self, k, values):
        return self.add_kv(k, ARRAY, values, STRING)

    def find_kv(self, key) -> Optional[KV]:
        for kv in self.kvs:
            if kv.raw is None and kv.key == key:
                return kv
        return None

    def remove_kv(self, key) -> None:
        self.kvs = [kv for kv in self.kvs if kv.raw is not None or kv.key != key]

    # -- tensors ------------------------------------------------------------------
    def add_tensor(self, name, dims, ttype, data: TensorData = None, nbytes=None,
                   offset=None, n_dims=None) -> Tensor:
        t = Tensor(name, list(dims), ttype, data, nbytes, offset, n_dims)
        self.tensors.append(t)
        return t

    def find_tensor(self, name) -> Optional[Tensor]:
        for t in self.tensors:
            if t.name == name:
                return t
        return None

    def remove_tensor(self, name) -> None:
        self.tensors = [t for t in self.tensors if t.name != name]

    # -- layout -------------------------------------------------------------------
    def effective_alignment(self) -> int:
        """Padding unit: the explicit override, else the last unsigned general.alignment."""
        if self.alignment is not None:
            return self.alignment
        a = DEFAULT_ALIGNMENT
        for kv in self.kvs:
            if (kv.raw is None and kv.key == "general.alignment"
                    and kv.vtype in (UINT8, UINT16, UINT32, UINT64)):
                a = int(kv.value)
        return a

    def layout(self):
        """(header bytes, data section start, [(relative data position, size)])."""
        align = self.effective_alignment()
        places, pos = [], 0
        for t in self.tensors:
            pos = _align(pos, align)
            size = t.data_size()
            places.append((pos, size))
            pos += size
        head = [self.magic,
                struct.pack("<I", self.version & 0xFFFFFFFF),
                struct.pack("<Q", (len(self.tensors) if self.tensor_count is None
                                   else self.tensor_count) & U64_MASK),
                struct.pack("<Q", (len(self.kvs) if self.kv_count is None
                                   else self.kv_count) & U64_MASK)]
        head += [kv.to_bytes() for kv in self.kvs]
        head += [t.info_bytes(p) for t, (p, _) in zip(self.tensors, places)]
        header = b"".join(head)
        return header, _align(len(header), align), places

    def _emit(self, sink) -> int:
        header, data_start, places = self.layout()
        sink(header)
        written = len(header)
        for t, (pos, size) in zip(self.tensors, places):
            target = data_start + pos
            if size and target > written:
                sink(b"\0" * (target - written))
                written = target
            n = 0
            for chunk in t.chunks():
                sink(chunk)
                n += len(chunk)
            if n != size:
                raise ValueError(f"tensor {t.name!r}: wrote {n} bytes, declared {size}")
            written += n
        if self.trailer:
            sink(self.trailer)
            written += len(self.trailer)
        return written

    def to_bytes(self) -> bytes:
        parts = []
        self._emit(parts.append)
        return b"".join(parts)

    def write(self, path) -> int:
        """Stream the file to `path`; returns its size."""
        with open(path, "wb") as f:
            return self._emit(f.write)


# -- reader -------------------------------------------------------------------------

class _Cursor:
    def __init__(self, buf: bytes):
        self.buf, self.pos = buf, 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.buf):
            raise ValueError("truncated GGUF header")
        b = self.buf[self.pos:self.pos + n]
        self.pos += n
        return b

    def unpack(self, fmt: str):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def string(self) -> str:
        return self.take(self.unpack("<Q")).decode("utf-8")


def _read_value(c: _Cursor, vtype: int):
    if vtype in _SCALAR_FMT:
        v = c.unpack(_SCALAR_FMT[vtype])
        return bool(v) if vtype == BOOL else v, None
    if vtype == STRING:
        return c.string(), None
    if vtype == ARRAY:
        et, n = c.unpack("<I"), c.unpack("<Q")
        if et in _SCALAR_DTYPE:
            size = np.dtype(_SCALAR_DTYPE[et]).itemsize
            arr = np.frombuffer(c.take(n * size), dtype=_SCALAR_DTYPE[et])
            return [bool(x) for x in arr] if et == BOOL else arr.tolist(), et
        if et == STRING:
            return [c.string() for _ in range(n)], et
        raise ValueError(f"unsupported array element type {et}")
    raise ValueError(f"unknown metadata value type id {vtype}")


def read_gguf(buf: bytes) -> GGUFWriter:
    """Parse a well-formed GGUF image into a writer that re-emits it unchanged.

    Tensor data become slices of `buf`; only the six generator types are sized.
    """
    c = _Cursor(buf)
    magic = c.take(4)
    if magic != GGUF_MAGIC:
        raise ValueError(f"not a GGUF file (magic {list(magic)})")
    w = GGUFWriter(version=c.unpack("<I"), magic=magic)
    n_tensors, n_kv = c.unpack("<Q"), c.unpack("<Q")
    for _ in range(n_kv):
        key = c.string()
        vtype = c.unpack("<I")
        value, et = _read_value(c, vtype)
        w.add_kv(key, vtype, value, et)
    infos = []
    for _ in range(n_tensors):
        name = c.string()
        nd = c.unpack("<I")
        dims = [c.unpack("<Q") for _ in range(nd)]
        infos.append((name, dims, c.unpack("<I"), c.unpack("<Q")))
    data_start = _align(c.pos, w.effective_alignment())
    for name, dims, ttype, off in infos:
        size = tensor_nbytes(dims, ttype)
        start = data_start + off
        w.add_tensor(name, dims, ttype, buf[start:start + size], offset=off)
    # Keep the header offsets only where they differ from the natural layout.
    _, _, places = w.layout()
    for t, (pos, _) in zip(w.tensors, places):
        if t.offset == pos:
            t.offset = None
    return w


def read_gguf_file(path) -> GGUFWriter:
    with open(path, "rb") as f:
        return read_gguf(f.read())
