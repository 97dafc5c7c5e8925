#include "reuse.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "guard.hpp"
#include "held_buffer.hpp"
#include "static_types.hpp"

namespace runtime {
namespace {

using common::HeldBuffer;

struct Memory {
  void* data = nullptr;
  std::size_t bytes = 0;
};

// Large blocks on huge-page boundaries, marked for huge pages where the system has them:
// one fault per 2 MiB instead of per 4 KiB the first time they are written.
void* allocate(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes >= 2 * kHuge) {
    void* data = nullptr;
    if (posix_memalign(&data, kHuge, bytes) != 0) return nullptr;
    madvise(data, bytes - bytes % kHuge, MADV_HUGEPAGE);  // advice only: failure is harmless
    return data;
  }
#endif
  return std::malloc(bytes ? bytes : 1);
}

struct PoolObject {
  PyObject_HEAD
  std::vector<Memory>* free;  // given back, not handed out again yet
  std::size_t kept;           // their bytes
  std::size_t keep;           // at most this many
};

struct BlockObject {
  PyObject_HEAD
  PoolObject* pool;  // owned; null if the block goes back to no pool
  Memory memory;
};

// Filled in by add_reuse_types.
PyTypeObject block_type = common::static_type();
PyTypeObject pool_type = common::static_type();

void block_dealloc(PyObject* self) {
  auto* block = reinterpret_cast<BlockObject*>(self);
  PoolObject* pool = block->pool;
  bool kept = false;
  if (pool && pool->kept + block->memory.bytes <= pool->keep) {
    try {
      pool->free->push_back(block->memory);
      pool->kept += block->memory.bytes;
      kept = true;
    } catch (const std::bad_alloc&) {
    }
  }
  if (!kept) std::free(block->memory.data);
  Py_XDECREF(pool);
  Py_TYPE(self)->tp_free(self);
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* block = reinterpret_cast<BlockObject*>(self);
  return PyBuffer_FillInfo(view, self, block->memory.data,
                           static_cast<Py_ssize_t>(block->memory.bytes), 0, flags);
}

PyBufferProcs block_buffer = {block_getbuffer, nullptr};

// A block of `bytes` from the pool's free list (the same size, last given back first), or
// new memory; null with MemoryError set.
PyObject* take(PoolObject* pool, std::size_t bytes) {
  Memory memory;
  auto& free = *pool->free;
  for (std::size_t k = free.size(); k-- > 0;) {
    if (free[k].bytes == bytes) {
      memory = free[k];
      free.erase(free.begin() + static_cast<std::ptrdiff_t>(k));
      pool->kept -= bytes;
      break;
    }
  }
  if (!memory.data) {
    memory.data = allocate(bytes);
    memory.bytes = bytes;
    if (!memory.data) return PyErr_NoMemory();
  }
  BlockObject* block = PyObject_New(BlockObject, &block_type);
  if (!block) {
    std::free(memory.data);
    return nullptr;
  }
  Py_INCREF(pool);
  block->pool = pool;
  block->memory = memory;
  return reinterpret_cast<PyObject*>(block);
}

PyObject* pool_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) {
  static const char* names[] = {"keep", nullptr};
  Py_ssize_t keep;
  if (!PyArg_ParseTupleAndKeywords(arguments, keywords, "n:Pool", const_cast<char**>(names),
                                   &keep)) {
    return nullptr;
  }
  if (keep < 0) {
    PyErr_SetString(PyExc_ValueError, "Pool: keep must not be negative");
    return nullptr;
  }
  auto* free = new (std::nothrow) std::vector<Memory>();
  if (!free) return PyErr_NoMemory();
  auto* pool = reinterpret_cast<PoolObject*>(type->tp_alloc(type, 0));
  if (!pool) {
    delete free;
    return nullptr;
  }
  pool->free = free;
  pool->kept = 0;
  pool->keep = static_cast<std::size_t>(keep);
  return reinterpret_cast<PyObject*>(pool);
}

void pool_dealloc(PyObject* self) {
  auto* pool = reinterpret_cast<PoolObject*>(self);
  for (const Memory& memory : *pool->free) std::free(memory.data);
  delete pool->free;
  Py_TYPE(self)->tp_free(self);
}

// arrays(pointers, indices): blocks for a new matrix of this pattern: its values (float64,
// not yet written), and copies of the pointers and indices.
PyObject* pool_arrays(PyObject* self, PyObject* arguments) {
  PyObject *pointers_object, *indices_object;
  if (!PyArg_ParseTuple(arguments, "OO:arrays", &pointers_object, &indices_object)) {
    return nullptr;
  }
  HeldBuffer pointers, indices;
  if (!pointers.acquire(pointers_object, "pointers", false) ||
      !indices.acquire(indices_object, "indices", false)) {
    return nullptr;
  }
  auto* pool = reinterpret_cast<PoolObject*>(self);
  const std::size_t pointer_bytes = pointers.length() * (pointers.wide() ? 8 : 4);
  const std::size_t index_bytes = indices.length() * (indices.wide() ? 8 : 4);
  PyObject* data = take(pool, indices.length() * sizeof(double));
  PyObject* index_copy = data ? take(pool, index_bytes) : nullptr;
  PyObject* pointer_copy = index_copy ? take(pool, pointer_bytes) : nullptr;
  if (!pointer_copy) {
    Py_XDECREF(data);
    Py_XDECREF(index_copy);
    return nullptr;
  }
  void* index_target = reinterpret_cast<BlockObject*>(index_copy)->memory.data;
  void* pointer_target = reinterpret_cast<BlockObject*>(pointer_copy)->memory.data;
  {
    common::Unlocked unlocked;
    if (index_bytes) std::memcpy(index_target, indices.data(), index_bytes);
    if (pointer_bytes) std::memcpy(pointer_target, pointers.data(), pointer_bytes);
  }
  return Py_BuildValue("(NNN)", data, index_copy, pointer_copy);
}

// block(bytes): one block, for memory the runtime hands out and wants back when nothing holds
// it any more (a perturbed point the residual function may keep).
PyObject* pool_block(PyObject* self, PyObject* arguments) {
  Py_ssize_t bytes;
  if (!PyArg_ParseTuple(arguments, "n:block", &bytes)) return nullptr;
  if (bytes < 0) {
    PyErr_SetString(PyExc_ValueError, "block: bytes must not be negative");
    return nullptr;
  }
  return take(reinterpret_cast<PoolObject*>(self), static_cast<std::size_t>(bytes));
}

PyObject* pool_kept(PyObject* self, void*) {
  return PyLong_FromSize_t(reinterpret_cast<PoolObject*>(self)->kept);
}

PyMethodDef pool_methods[] = {
    {"arrays", common::guarded<pool_arrays>, METH_VARARGS,
     "Blocks for a new matrix of this pattern: (data, indices, pointers)."},
    {"block", common::guarded<pool_block>, METH_VARARGS,
     "One block of the given bytes, back to the pool when nothing holds it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pool_getset[] = {
    {"kept", pool_kept, nullptr, "Bytes given back and kept for reuse.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_reuse_types(PyObject* module) {
  block_type.tp_name = "vendrel._passes.Block";
  block_type.tp_basicsize = sizeof(BlockObject);
  block_type.tp_flags = Py_TPFLAGS_DEFAULT;
  block_type.tp_dealloc = block_dealloc;
  block_type.tp_as_buffer = &block_buffer;
  block_type.tp_doc = "Memory a Pool handed out, back to it when this dies.";
  pool_type.tp_name = "vendrel._passes.Pool";
  pool_type.tp_basicsize = sizeof(PoolObject);
  pool_type.tp_flags = Py_TPFLAGS_DEFAULT;
  pool_type.tp_new = common::guarded_new<pool_new>;
  pool_type.tp_dealloc = pool_dealloc;
  pool_type.tp_methods = pool_methods;
  pool_type.tp_getset = pool_getset;
  pool_type.tp_doc = "Pool(keep): memory for new matrices, reused as they die.";
  // Blocks are made only by pools: their type is readied, not added.
  return PyType_Ready(&block_type) >= 0 && common::add_type(module, pool_type, "Pool");
}

}  // namespace runtime
