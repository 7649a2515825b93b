// Everything a module of the package needs from the shared machinery.
#pragma once

#include "classes.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "unpack.hpp"
