#include "listing/attribute_table.h"

#include "listing/text_ops.h"

namespace listing {

const std::vector<std::string>& DefaultAttributeItems() {
  // The list box's design-time items, double blanks included; only the image name is used.
  static const std::vector<std::string> items = {
      "01 dogs,dogs allowed;no dogs",
      "02 fee,Access or parking fee;",
      "03 rappeling,rappelling,Climbing gear;",
      "04 boat,boat-yes;",
      "05 scuba,Scuba gear;",
      "06 kids,Recommended for kids;",
      "07 onehour,Takes less than an hour;",
      "08 scenic,Scenic view;",
      "09 hiking,Significant hike;",
      "10 climbing,Difficult climbing;",
      "11 wading,May require wading;",
      "12 swimming,May require swimming;",
      "13 available,Available at all times;not 24-7",
      "14 night,Recommended at night;",
      "15 winter,Available during winter;",
      "16 Neexistuje;",
      "17 poisonoak,Poison plants;",
      "18 snakes,Snakes;",
      "19 ticks,Ticks;",
      "20 mine,Abandoned mines;",
      "21 cliff,Cliff / falling rocks;cliffs/falling rocks  nearby",
      "22 hunting,Hunting;",
      "23 danger,Dangerous area;",
      "24 wheelchair,Wheelchair accessible;",
      "25 parking,Parking available;",
      "26 public,Public transportation;",
      "27 water,Drinking water nearby;",
      "28 restrooms,Public restrooms nearby;",
      "29 phone,Telephone nearby;",
      "30 picnic,Picnic tables nearby;",
      "31 camping,campfires allowed;camping available",
      "32 bicycles,Bicycles;",
      "33 motorcycles,motorcycles allowed;no motorcycles",
      "34 quads,Quads;",
      "35 jeeps,off-road vehicles allowed;no off-road vehicles",
      "36 snowmobiles,Snowmobiles;",
      "37 horses,Horses;",
      "38 campfires,campfires allowed;",
      "39 thorn,Thorns;",
      "40 stealth,Stealth required;No Stealth",
      "41 stroller,Stroller accessible;not stroller accessible",
      "42 firstaid,Needs maintenance;",
      "43 cow,Watch for livestock;",
      "44 flashlight,Flashlight required;",
      "45 landf,Lost And Found Tour",
      "46 rv,Truck Driver/RV",
      "47 field_puzzle,Field Puzzle",
      "48 UV,UV Light Required",
      "49 snowshoes,Snowshoes",
      "50 skiis,Cross Country Skis",
      "51 s-tool,Special Tool Required",
      "52 nightcache,Night Cache",
      "53 parkngrab,Park and Grab",
      "54 AbandonedBuilding,Abandoned Structure",
      "55 hike_short,Short hike (less than 1km)",
      "56 Medium hike (1km-10km)",
      "57 hike_med,Long Hike (+10km)",
      "58 fuel,Fuel Nearby",
      "59 food,Food Nearby",
      "60 wirelessbeacon,Wireless Beacon",
      "61 partnership,Partnership Cache",
      "62 seasonal,Seasonal Access",
      "63 touristOK,Tourist Friendly",
      "64 treeclimbing,Tree Climbing",
      "65 frontyard,Front Yard (Private Residence)",
      "66 teamwork,Teamwork Required",
  };
  return items;
}

std::string AttributeString(std::string_view section, const std::vector<std::string>& items) {
  std::string marks(kAttributeMarks, '-');
  std::string image;
  // Items past the last mark have no place in the string, so they are not searched for.
  for (size_t i = 0; i < items.size() && i < kAttributeMarks; ++i) {
    const std::string& item = items[i];
    const std::string_view name = Slice(item, 4, FindText(",", item) - 4);
    if (name.empty()) continue;
    char mark = '-';
    image.assign(name).append("-no.gif");
    if (FindText(image, section) != 0) {
      mark = 'N';
    } else {
      image.assign(name).append("-yes.gif");
      if (FindText(image, section) != 0) mark = 'A';
    }
    marks[i] = mark;
  }
  return marks;
}

}  // namespace listing
