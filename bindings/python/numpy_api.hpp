#pragma once

// Includes the NumPy C API. Every file shares the one API table that module initialization
// imports; only module.cpp defines ARBORVANE_IMPORTS_NUMPY before including this.

#include "bindings/python/py_ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL arborvane_ARRAY_API
#ifndef ARBORVANE_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
