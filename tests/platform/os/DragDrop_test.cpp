#include "platform/os/DragDrop.h"

#include <gtest/gtest.h>

TEST(DragDropTest, DeliveredOnlyWhileAcceptedAndHooked) {
  int window = 0;
  std::vector<os::TDropFiles> got;
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 1, 2}));
  EXPECT_FALSE(os::SetDropProc(&window, [&](const os::TDropFiles& d) { got.push_back(d); }));
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 1, 2}));  // not accepting yet
  os::DragAcceptFiles(&window, true);
  EXPECT_TRUE(os::DragAcceptsFiles(&window));
  EXPECT_TRUE(os::DeliverDrop(&window, {{"/a", "/b c"}, 3, 4}));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Files, (std::vector<std::string>{"/a", "/b c"}));
  EXPECT_EQ(got[0].X, 3);
  EXPECT_EQ(got[0].Y, 4);
  os::DragAcceptFiles(&window, false);
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 0, 0}));
  EXPECT_TRUE(os::SetDropProc(&window, nullptr));
  EXPECT_FALSE(os::DropProcOf(&window));
  EXPECT_EQ(got.size(), 1u);
}
