// The extension module norvex._core: the Database class.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace norvex::python {
namespace {

struct Database {};

}  // namespace
}  // namespace norvex::python

NB_MODULE(_core, m) {
  using norvex::python::Database;
  nb::class_<Database>(m, "Database")
      .def("__init__", [](Database*, nb::args, nb::kwargs) {
        throw nb::type_error("No constructor defined");
      });
  m.attr("NorvaneDB") = m.attr("Database");
}
