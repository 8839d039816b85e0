#include "input/ElementQueries.h"

#include "platform/accessibility/fake/FakeAccessibility.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

using Element = FakeAccessibility::Element;

class ElementQueriesTest : public ::testing::Test {
  protected:
    ElementRef add(std::optional<ElementRole> role, DisplayRect frame,
                   std::optional<ElementRef> parent = std::nullopt) {
        Element element;
        element.role = role;
        element.frame = frame;
        element.parent = parent;
        return tree->add(element);
    }

    std::shared_ptr<FakeAccessibility> tree = std::make_shared<FakeAccessibility>();
    ElementQueries queries{tree};
};

TEST_F(ElementQueriesTest, ScrollThumbsByOrientationOrShape) {
    Element bar;
    bar.role = ElementRole::scrollBar;
    bar.frame = DisplayRect{500, 100, 15, 400};
    bar.orientation = ElementOrientation::vertical;
    const ElementRef barRef = tree->add(bar);
    const ElementRef track = add(ElementRole::other, {500, 100, 15, 400}, barRef);
    add(ElementRole::valueIndicator, {500, 150, 15, 60}, track);
    EXPECT_EQ(queries.scrollThumbAxis({507, 160}), ScrollThumbAxis::vertical);
    EXPECT_EQ(queries.scrollThumbAxis({507, 300}), std::nullopt);  // the track
    EXPECT_EQ(queries.scrollThumbAxis({100, 100}), std::nullopt);  // nothing there

    // No scroll bar to ask: a wide thumb is horizontal.
    add(ElementRole::valueIndicator, {100, 600, 80, 12});
    EXPECT_EQ(queries.scrollThumbAxis({120, 605}), ScrollThumbAxis::horizontal);
}

TEST_F(ElementQueriesTest, AncestorsAreLookedForTwelveDeep) {
    ElementRef top = add(ElementRole::table, {0, 0, 10, 10});
    ElementRef current = top;
    for (int i = 0; i < 11; ++i) current = add(ElementRole::other, {0, 0, 10, 10}, current);
    EXPECT_EQ(queries.axAncestor(current, {ElementRole::table}), top);
    current = add(ElementRole::other, {0, 0, 10, 10}, current);
    EXPECT_EQ(queries.axAncestor(current, {ElementRole::table}), std::nullopt);
}

TEST_F(ElementQueriesTest, APressNearAVerticalSplitterSnapsToItsMiddle) {
    const ElementRef group = add(ElementRole::splitGroup, {0, 0, 800, 600});
    add(ElementRole::other, {0, 0, 400, 600}, group);
    add(ElementRole::other, {406, 0, 374, 600}, group);  // the group's margin from 780
    add(ElementRole::splitter, {400, 0, 6, 600}, group);
    EXPECT_EQ(queries.snapToDivider({393, 250}), (DisplayPoint{403, 250}));
    EXPECT_EQ(queries.snapToDivider({420, 250}), (DisplayPoint{403, 250}));
    EXPECT_EQ(queries.snapToDivider({100, 250}), std::nullopt);
    // Where a sample falls on the split group itself, its edge is taken at the sample.
    EXPECT_EQ(queries.snapToDivider({770, 250}), (DisplayPoint{780, 250}));
}

TEST_F(ElementQueriesTest, TextContentSnapsToSplittersButNotToTheSplitGroup) {
    const ElementRef group = add(ElementRole::splitGroup, {0, 0, 800, 600});
    add(ElementRole::textArea, {0, 0, 400, 600}, group);
    EXPECT_EQ(queries.snapToDivider({200, 300}), std::nullopt);
    add(ElementRole::splitter, {400, 0, 6, 600}, group);
    EXPECT_EQ(queries.snapToDivider({390, 300}), (DisplayPoint{403, 300}));
}

TEST_F(ElementQueriesTest, AHorizontalSplitterIsFoundAlongY) {
    const ElementRef group = add(ElementRole::other, {0, 0, 800, 600});
    add(ElementRole::splitter, {0, 300, 800, 4}, group);
    EXPECT_EQ(queries.snapToDivider({200, 290}), (DisplayPoint{200, 302}));
}

TEST_F(ElementQueriesTest, ATableHeaderPressSnapsToTheNearestColumnBoundary) {
    Element header;
    header.role = ElementRole::other;
    header.hitTestable = false;
    const ElementRef headerRef = tree->add(header);
    Element table;
    table.role = ElementRole::table;
    table.frame = DisplayRect{100, 100, 600, 400};
    table.header = headerRef;
    const ElementRef tableRef = tree->add(table);
    for (double x : {100.0, 250.0, 400.0}) {
        Element cell;
        cell.parent = headerRef;
        cell.frame = DisplayRect{x, 100, 150, 20};
        cell.hitTestable = false;
        tree->add(cell);
    }
    add(ElementRole::staticText, {100, 100, 600, 20}, tableRef);
    EXPECT_EQ(queries.snapToDivider({245, 110}), (DisplayPoint{250, 110}));
    EXPECT_EQ(queries.snapToDivider({325, 110}), std::nullopt);            // 75 points from either
    EXPECT_EQ(queries.columnDividerX(tableRef, {50, 110}), std::nullopt);  // outside the table
}

}  // namespace
}  // namespace vl
