#include "vector3.h"

#include <ostream>

Vector Vector::normal() const {
    Vector copy(*this);
    copy.normalize();
    return copy;
}

std::ostream& operator<<(std::ostream& os, const Vector& v) {
    return os << "[" << v.x() << ", " << v.y() << ", " << v.z() << "]";
}
