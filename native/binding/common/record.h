// Rules every record class of the binding shares: the errors for unset and
// undeletable fields, and the state protocol used by copy and pickle.
#pragma once
#include "ref.h"

namespace tarn::py {

// AttributeError "attribute 'kind' of 'Token' undefined"; returns nullptr.
std::nullptr_t field_undefined(PyObject* self, const char* field);
// AttributeError "'Token' object attribute 'kind' cannot be deleted"; returns -1.
int field_not_deletable(PyObject* self, const char* field);

// __setstate__: assigns each item of the dict `state` as an attribute, in the
// dict's order, through the normal (checking) attribute assignment.
PyObject* set_state(PyObject* self, PyObject* state);
// __reduce__: (copyreg.__newobj__, (type(self),), self.__getstate__()), so
// every pickle protocol rebuilds through the class's own __new__.
PyObject* reduce_via_state(PyObject* self);

}  // namespace tarn::py
