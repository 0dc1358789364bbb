// Declares the columns of a data-driven QTest at once, their types in the order of their names.
#pragma once

#include <QTest>

#include <array>

namespace weftview::test {

template <class... Types>
void AddColumns(const std::array<const char*, sizeof...(Types)>& names) {
  size_t column = 0;
  (QTest::addColumn<Types>(names[column++]), ...);
}

}  // namespace weftview::test
