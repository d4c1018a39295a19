#include "mount_plan.h"

#include "served_client.h"

namespace velmor {

MountPlan PlanMount(DriveSystem &system, const std::string &given, const std::string &baseFolder) {
  MountPlan plan;
  plan.image = CheckImagePath(system, given, baseFolder);
  if (plan.image.refusal == ImageRefusal::kNetworkDrive && IsServedImage(system, plan.image.path)) {
    plan.image.refusal = system.AnsiToUtf16(plan.image.path).size() > kMaxDriveImagePathUnits
                             ? ImageRefusal::kTooLong
                             : ImageRefusal::kNone;
  }
  if (plan.image.refusal != ImageRefusal::kNone)
    return plan;
  if (IsServedImage(system, plan.image.path)) {
    plan.served = true;
    plan.verdict = MountPlan::Verdict::kMount;
    return plan;
  }
  plan.detected = formats::DetectImage(system.ImageFiles(), system.AnsiToUtf16(plan.image.path));
  if (plan.detected.error)
    return plan;
  if (const formats::DiscLayout *layout = plan.Layout()) {
    for (const std::u16string &file : layout->files)
      if (const ImageRefusal why = CheckTrackFilePath(system, file); why != ImageRefusal::kNone) {
        plan.trackFile = {system.Utf16ToAnsi(file), why};
        return plan;
      }
    // Too many tracks or names too long for one record: found now, not after the letter.
    LayoutRecord record;
    if ((plan.detected.error = formats::MakeLayoutRecord(*layout, u'A', &record)))
      return plan;
  }
  plan.verdict = plan.detected.volumeExpected && !plan.detected.volumeFound
                     ? MountPlan::Verdict::kAskFirst
                     : MountPlan::Verdict::kMount;
  return plan;
}

} // namespace velmor
