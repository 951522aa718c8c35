#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sph_control.h"
#include "core/sph_error.h"
#include "database/sph_database.h"
#include "input/sph_inp_helpers.h"
#include "input/sph_input_reader.h"
#include "water/sph_water.h"
#include "quorrel_test.h"

using namespace quorrel;

namespace {

// Cards handled one line at a time against a two-particle model with a node set FLUID,
// an element set EFLUID, a node set SECTION and the material WATER.
class InputCards : public test::QuorrelTest {
protected:
    void SetUp() override {
        QuorrelTest::SetUp();
        sph_input_reader.input_current_file = "t.inp";
        sph_input_reader.input_current_line = 7;
        ASSERT_EQ(sph_db_allocate(2), 0);
        const double x0[3] = {0.0, 0.0, 0.0}, x1[3] = {1.0, 0.0, 0.0};
        ASSERT_EQ(sph_db_set_node(0, 1, x0), 0);
        ASSERT_EQ(sph_db_set_node(1, 2, x1), 0);
        const int32_t nodes[2] = {1, 2}, elements[1] = {1};
        ASSERT_EQ(sph_db_add_nset("FLUID", 2, nodes), 0);
        ASSERT_EQ(sph_db_add_nset("SECTION", 2, nodes), 0);
        ASSERT_EQ(sph_db_add_element(1, "C3D8", 2, nodes), 0);
        ASSERT_EQ(sph_db_add_elset("EFLUID", 1, elements), 0);
        ASSERT_EQ(keyword("*MATERIAL, NAME=WATER, TYPE=WATER"), 0);
    }

    static int keyword(const std::string& line) { return sph_input_record_keyword(sph_inp_keyword_id(line), line); }
    static std::string at7(const std::string& message) { return "t.inp:7: " + message; }
};

struct FailCase {
    std::string line;
    int code;
    std::string message;  // located at t.inp:7
};

void expect_failures(const std::vector<FailCase>& cases, int (*handle)(const std::string&)) {
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.line);
        sph_error_clear();
        EXPECT_EQ(handle(c.line), c.code);
        EXPECT_EQ(sph_error_code(), c.code);
        EXPECT_EQ(sph_error_message(), "t.inp:7: " + c.message);
    }
}

int as_keyword(const std::string& line) { return sph_input_record_keyword(sph_inp_keyword_id(line), line); }

struct TimeCase {
    std::string items;
    double dt, total, safety;
    int32_t steps;
};

TEST_F(InputCards, TimeControlReadsEveryItemByPrefix) {
    const std::vector<TimeCase> good = {
        {"DT=1e-3, TIME=0.5, STEPS=10", 1e-3, 0.5, 1.0, 10},
        {"DT=1e-3, END TIME=0.5, MAX STEPS=10, SAFETY=0.25", 1e-3, 0.5, 0.25, 10},
        {"DT=1e-3, DT=2e-3, TIME=0.5, STEPS=10", 2e-3, 0.5, 1.0, 10},
        {"DTMAX=3e-3, TIMESTEP=0.5, STEPS=10, COLOR=red", 3e-3, 0.5, 1.0, 10},
        {" dt = 1D-3 , time=0.5 s, steps = 10", 1e-3, 0.5, 1.0, 10},
    };
    for (const TimeCase& c : good) {
        SCOPED_TRACE(c.items);
        sph_control_reset();
        ASSERT_EQ(keyword("*QUORREL, TIME CONTROL, " + c.items), 0) << sph_error_message();
        EXPECT_EQ(sph_control.dt_default, c.dt);
        EXPECT_EQ(sph_control.end_time, c.total);
        EXPECT_EQ(sph_control.max_steps, c.steps);
        EXPECT_EQ(sph_control.safety_factor, c.safety);
    }
    EXPECT_TRUE(sph_input_reader.input_has_time_control);

    expect_failures({{"*QUORREL, TIME CONTROL, DT=1e-3, TIME=0.5, STEPS=1.5", 4, "invalid QUORREL TIME CONTROL STEPS"},
                     {"*QUORREL, TIME CONTROL, DT=1e-3, TIME=0.5", 4, "missing required QUORREL TIME CONTROL option"},
                     {"*QUORREL, TIME CONTROL", 4, "missing required QUORREL TIME CONTROL option"},
                     {"*QUORREL, TIME CONTROL, DT=abc, TIME=0.5, STEPS=1", 4, "invalid QUORREL TIME CONTROL DT"},
                     {"*QUORREL, TIME CONTROL, DT=1, TIME=, STEPS=1", 4, "invalid QUORREL TIME CONTROL TIME"},
                     {"*QUORREL, TIME CONTROL, DT=1, TIME=1, STEPS=1, SAFETY=x", 4,
                      "invalid QUORREL TIME CONTROL SAFETY"},
                     {"*QUORREL, TIME CONTROL, DT=0, TIME=0.5, STEPS=10", 1, "time control DT must be positive"},
                     {"*QUORREL, TIME CONTROL, DT=1, TIME=0.5, STEPS=10, SAFETY=-1", 1,
                      "time control SAFETY must be positive"}},
                    as_keyword);
}

struct RegionCase {
    std::string options;
    int32_t type, export_mode, import_mode, load_mode, distribution, contact, enabled, phase;
};

TEST_F(InputCards, CouplingRegionWordsDefaultsAndChecks) {
    const std::vector<RegionCase> good = {
        {"NAME=R1, SET=FLUID", 1, 1, 1, 1, 1, 0, 1, 0},
        {"NAME=R2, NSET=FLUID, TYPE=continuum", 2, 1, 1, 1, 1, 0, 0, 0},
        {"NAME=R3, ELSET=EFLUID, EXPORT=facet, IMPORT=FACET_LOAD", 1, 2, 2, 2, 1, 0, 1, 0},
        {"NAME=R4, SET=FLUID, IMPORT=FACET_LOAD, ENABLED=NO", 1, 1, 2, 2, 1, 0, 0, 0},
        {"NAME=R5, SET=FLUID, EXPORT=BOTH, LOAD_MODE=traction, DISTRIBUTION=mass, CONTACT_STATE=yes", 1, 3, 1, 4,
         3, 1, 1, 0},
        {"NAME=R6, SET=FLUID, IMPORT=motion, DISTRIBUTION=AREA, CONTACT_STATE=off, PHASE=shell_failed", 1, 1, 3, 1,
         2, 0, 1, 9},
        {"NAME=R7, SET=all, PHASE=Water, ENABLED=on", 1, 1, 1, 1, 1, 0, 1, 1},
    };
    for (const RegionCase& c : good) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(keyword("*QUORREL, COUPLING REGION, " + c.options), 0) << sph_error_message();
        const SphCouplingRegionRecord& r = sph_database.coupling_regions.back();
        EXPECT_EQ(r.coupling_region_type, c.type);
        EXPECT_EQ(r.coupling_region_export_mode, c.export_mode);
        EXPECT_EQ(r.coupling_region_import_mode, c.import_mode);
        EXPECT_EQ(r.coupling_region_load_mode, c.load_mode);
        EXPECT_EQ(r.coupling_region_distribution_mode, c.distribution);
        EXPECT_EQ(r.coupling_region_contact_state_mode, c.contact);
        EXPECT_EQ(r.coupling_region_enabled, c.enabled);
        EXPECT_EQ(r.coupling_region_phase_filter, c.phase);
    }
    ASSERT_EQ(keyword("*QUORREL, COUPLING REGION, NAME=R8, SET=FLUID, SURFACE=Skin, MATERIAL=water"), 0)
        << sph_error_message();
    EXPECT_EQ(sph_database.coupling_regions.back().coupling_region_surface_name, "Skin");
    EXPECT_EQ(sph_database.coupling_regions.back().coupling_region_material_filter, 1);
    EXPECT_EQ(sph_database.coupling_regions.back().coupling_region_set_name, "FLUID");

    const std::string card = "*QUORREL, COUPLING REGION, ";
    expect_failures(
        {{card + "SET=FLUID", 4, "Coupling region is missing NAME option"},
         {card + "NAME=X", 4, "Coupling region is missing SET option"},
         {card + "NAME=X, SET=FLUID, TYPE=SURFACE", 4, "invalid coupling region TYPE option"},
         {card + "NAME=X, SET=FLUID, EXPORT=ALL", 4, "invalid coupling region EXPORT option"},
         {card + "NAME=X, SET=FLUID, IMPORT=PUSH", 4, "invalid coupling region IMPORT option"},
         {card + "NAME=X, SET=FLUID, LOAD_MODE=weight", 4, "invalid coupling region LOAD_MODE option"},
         {card + "NAME=X, SET=FLUID, DISTRIBUTION=even", 4, "invalid coupling region DISTRIBUTION option"},
         {card + "NAME=X, SET=FLUID, CONTACT_STATE=TRUE", 4, "invalid coupling region CONTACT_STATE option"},
         {card + "NAME=X, SET=FLUID, ENABLED=maybe", 4, "invalid coupling region ENABLED option"},
         {card + "NAME=X, SET=FLUID, PHASE=liquid", 4, "invalid coupling region PHASE option"},
         // The phase word is checked before the continuum rule.
         {card + "NAME=X, SET=FLUID, TYPE=CONTINUUM, PHASE=liquid", 4, "invalid coupling region PHASE option"},
         {card + "NAME=X, SET=FLUID, TYPE=CONTINUUM, ENABLED=NO", 4, "TYPE=CONTINUUM is reserved for a later version"},
         {card + "NAME=X, SET=FLUID, TYPE=CONTINUUM, SURFACE=", 4, "TYPE=CONTINUUM is reserved for a later version"},
         {card + "NAME=X, SET=FLUID, IMPORT=FACET_LOAD", 4, "facet coupling load requires facet export"},
         {card + "NAME=X, SET=NOWHERE, LOAD_MODE=PRESSURE", 4, "facet coupling load requires facet export"},
         // Database refusals keep their code and gain the location.
         {card + "NAME=X, SET=NOWHERE", 5, "coupling region references unknown set"},
         {card + "NAME=r1, SET=FLUID", 5, "duplicate coupling region name"}},
        as_keyword);
}

TEST_F(InputCards, CouplingHostOptionsAndOutputCard) {
    ASSERT_EQ(keyword("*QUORREL, ZENVIK, REGION=Side"), 0) << sph_error_message();
    const SphDatabase& d = sph_database;
    EXPECT_EQ(d.zenvik_region_name, "Side");
    EXPECT_EQ(d.zenvik_worker_enabled, 1);
    EXPECT_EQ(d.zenvik_export_radius, 1);
    EXPECT_EQ(d.zenvik_export_sound_speed, 1);
    EXPECT_EQ(d.zenvik_accept_contact_state, 1);
    EXPECT_EQ(d.zenvik_accept_boundary_state, 0);
    ASSERT_EQ(keyword("*QUORREL, ZENVIK, WORKER=no, ACCEPT_BOUNDARY_STATE=yes, EXPORT_RADIUS=off"), 0);
    EXPECT_EQ(d.zenvik_region_name, "ALL");
    EXPECT_EQ(d.zenvik_worker_enabled, 0);
    EXPECT_EQ(d.zenvik_export_radius, 0);
    EXPECT_EQ(d.zenvik_export_sound_speed, 1);
    EXPECT_EQ(d.zenvik_accept_boundary_state, 1);

    ASSERT_EQ(keyword("*QUORREL, OUTPUT, DIR=results, INTERVAL=5"), 0) << sph_error_message();
    EXPECT_EQ(sph_control.output_directory, "results");
    EXPECT_EQ(sph_control.output_interval, 5);
    EXPECT_TRUE(sph_control.output_enabled);
    ASSERT_EQ(keyword("*QUORREL, OUTPUT, DIRECTORY=first, DIR=second, INTERVAL=often"), 0);
    EXPECT_EQ(sph_control.output_directory, "first");
    EXPECT_EQ(sph_control.output_interval, 5);

    expect_failures({{"*QUORREL, ZENVIK, WORKER=maybe", 4, "invalid Zenvik WORKER option"},
                     {"*QUORREL, ZENVIK, EXPORT_SOUND_SPEED=2", 4, "invalid Zenvik EXPORT_SOUND_SPEED option"},
                     {"*QUORREL, ZENVIK, ACCEPT_CONTACT_STATE=T", 4, "invalid Zenvik ACCEPT_CONTACT_STATE option"},
                     {"*QUORREL, OUTPUT, INTERVAL=0", 1, "output interval must be positive"},
                     // Words in values steer the card: this is a time-control line.
                     {"*QUORREL, OUTPUT, DIRECTORY=TIME CONTROL", 4, "missing required QUORREL TIME CONTROL option"}},
                    as_keyword);
}

TEST_F(InputCards, WaterCardsReachTheWaterSettings) {
    ASSERT_EQ(keyword("*QUORREL, EOS, TYPE=tait, MATERIAL=WATER, RHO0=1000, C0=10, GAMMA=8"), 0)
        << sph_error_message();
    const SphWater& w = sph_water;
    EXPECT_EQ(w.water_rho0, 1000.0);
    EXPECT_EQ(w.water_c0, 10.0);
    EXPECT_EQ(w.water_b, 12500.0);  // rho0 c0^2 / gamma without B
    EXPECT_EQ(w.water_p0, 0.0);
    ASSERT_EQ(keyword("*QUORREL, EOS, TYPE=MODIFIED_TAIT, MATERIAL=WATER, RHO0=1000, C0=10, GAMMA=7, B=5e5, P0=2"),
              0);
    EXPECT_EQ(w.water_b, 5e5);
    EXPECT_EQ(w.water_p0, 2.0);
    ASSERT_EQ(keyword("*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.2, BETA=0.5, ETA2=0.02"), 0);
    EXPECT_EQ(w.water_visc_alpha, 0.2);
    EXPECT_EQ(w.water_visc_beta, 0.5);
    EXPECT_EQ(w.water_visc_eta2, 0.02);
    ASSERT_EQ(keyword("*QUORREL, PARTICLE CONTROL, H=0.5, MASS=3, VOLUME=0.125"), 0);
    EXPECT_EQ(w.water_default_h, 0.5);
    EXPECT_EQ(w.water_default_mass, 3.0);
    EXPECT_EQ(w.water_default_volume, 0.125);
    ASSERT_EQ(keyword("*QUORREL, BODY FORCE, Z=-9.5"), 0);
    EXPECT_EQ(w.water_body_force, (std::array<double, 3>{0.0, 0.0, -9.5}));
    ASSERT_EQ(keyword("*QUORREL, BODY FORCE"), 0);
    EXPECT_EQ(w.water_body_force, (std::array<double, 3>{0.0, 0.0, 0.0}));
    // A gas form with a type of no known kind reads nothing; the gas phase refuses it.
    EXPECT_EQ(keyword("*QUORREL, EOS, TYPE=POLYNOMIAL, MATERIAL=AIR"), sph_error_input);
    EXPECT_EQ(sph_error_message(), at7("Gas EOS TYPE is not supported"));
}

TEST_F(InputCards, PhaseCardsCheckTheirOptions) {
    expect_failures(
        {{"*QUORREL, EOS, MATERIAL=AIR, GAMMA=1.4", 4, "missing required option E0"},
         {"*QUORREL, EOS, TYPE=JWL, RHO0=1630, A=3.7e11, B=3.2e9, R1=4.15, R2=0.95, E0=4.3e6", 4,
          "missing required option OMEGA"},
         {"*QUORREL, EOS, TYPE=STIFFENED_GAS, RHO0=1, GAMMA=4.4, E0=1", 4, "missing required option PINF"},
         {"*QUORREL, EOS, TYPE=IDEAL_GAS, GAMMA=1.4, E0=2, P0=high", 4, "invalid numeric option P0"},
         {"*QUORREL, BLAST REGION, X=1, SET=FLUID", 4, "missing required option RADIUS"},
         {"*QUORREL, BLAST REGION, RADIUS=2", 4, "Blast region is missing TARGET_SET option"},
         {"*QUORREL, BLAST REGION, RADIUS=2, NSET=FLUID, SCALE=abc", 4, "invalid blast SCALE"},
         {"*QUORREL, BLAST REGION, RADIUS=2, NSET=FLUID, WINDOW=x", 4, "invalid blast TIME_WINDOW"},
         {"*QUORREL, BLAST REGION, RADIUS=2, NSET=FLUID, ACTIVE=sometimes", 4, "invalid blast ENABLED option"},
         {"*QUORREL, IGNITION, MATERIAL=TNT, X=0, Y=0, Z=0", 4, "missing required option TIME"},
         // EXPLOSIVE in a value makes an ignition line the explosive card.
         {"*QUORREL, IGNITION, MATERIAL=EXPLOSIVE_A, X=0, Y=0, Z=0, TIME=0", 4,
          "missing required option DETONATION_VELOCITY"},
         {"*QUORREL, SHELL DIRECTOR, NX=0, NY=0, NZ=1", 4, "Shell director is missing SET option"},
         {"*QUORREL, SHELL DIRECTOR, SET=FLUID, NX=0, NY=0", 4, "missing required option NZ"},
         {"*QUORREL, SHELL ROTATION, OX=1, OY=0, OZ=0", 4, "Shell rotation is missing SET option"},
         {"*QUORREL, SHELL ROTATION, ELSET=EFLUID, OX=1, OY=0, OZ=0, AY=fast", 4, "invalid numeric option AY"},
         {"*QUORREL, SOLID CONTROL, MATERIAL=STEEL, WIDTH=wide", 4, "invalid numeric option WIDTH"},
         {"*QUORREL, SHELL CONTROL, MATERIAL=SKIN, WIDTH=wide", 4, "invalid numeric option WIDTH"},
         {"*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=WATER, ALPHA=0.1, BETA=x, ETA2=0.01", 4,
          "invalid numeric option BETA"},
         {"*QUORREL, PARTICLE CONTROL, MASS=1, VOLUME=1", 4, "missing required option H"}},
        as_keyword);
    // The explosive card reaches its setter, which needs the explosive and its product gas;
    // the solid control card needs a solid material.
    ASSERT_EQ(keyword("*MATERIAL, NAME=TNT, TYPE=EXPLOSIVE"), 0);
    ASSERT_EQ(keyword("*MATERIAL, NAME=STEEL, TYPE=SOLID"), 0);
    ASSERT_EQ(keyword("*MATERIAL, NAME=AIR, TYPE=GAS"), 0);
    ASSERT_EQ(keyword("*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=AIR, GAMMA=1.4, E0=2"), 0);
    for (const std::string line :
         {"*QUORREL, BLAST REGION, RADIUS=2, TARGET=SHELL, ELSET=EFLUID, FACTOR=2, TIME_WINDOW=1e-3, ENABLED=no",
          "*QUORREL, EXPLOSIVE, MATERIAL=TNT, TYPE=PROGRAMMED_BURN, PRODUCT_MATERIAL=AIR, DETONATION_VELOCITY=6930, "
          "ENERGY=4.3e6, BURN_TIME=1e-6",
          "*QUORREL, SHELL ROTATION, NSET=FLUID, OX=1, OY=0, OZ=0", "*QUORREL, SOLID CONTROL, MATERIAL=STEEL"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(keyword(line), 0) << sph_error_message();
    }
    int32_t warnings = 0;
    sph_input_get_warning_count(warnings);
    EXPECT_EQ(warnings, 0);
}

TEST_F(InputCards, MaterialAndSectionKeywords) {
    ASSERT_EQ(keyword("*MATERIAL"), 0);
    const SphDatabase& d = sph_database;
    ASSERT_EQ(d.materials.size(), 2u);
    EXPECT_EQ(d.materials[1].material_name, "MATERIAL");
    EXPECT_EQ(d.materials[1].material_type, "UNSPECIFIED");
    EXPECT_EQ(sph_input_reader.active_material_name, "MATERIAL");
    EXPECT_FALSE(sph_input_active_material_is_shell());
    ASSERT_EQ(keyword("*MATERIAL, NAME=Skin, TYPE=shell_steel"), 0);
    EXPECT_TRUE(sph_input_active_material_is_shell());
    ASSERT_EQ(keyword("*MATERIAL, NAME=Mixed, TYPE=SOLID WATER"), 0);

    struct SectionCase {
        std::string line;
        std::string set, type, material;
        double thickness;
        int32_t points;
        double shear;
    };
    const std::vector<SectionCase> good = {
        {"*FLUID SECTION, NSET=FLUID", "FLUID", "SECTION", "MATERIAL", 0.0, 3, 0.8333333333333334},
        {"*SECTION, MATERIAL=WATER", "SECTION", "SECTION", "WATER", 0.0, 3, 0.8333333333333334},
        {"*X SECTION, ELSET=EFLUID, NSET=FLUID, MATERIAL=WATER", "EFLUID", "SECTION", "WATER", 0.0, 3,
         0.8333333333333334},
        {"*Shell Section, NSET=FLUID, MATERIAL=skin, THICKNESS=0.01", "FLUID", "SHELL", "skin", 0.01, 3,
         0.8333333333333334},
        {"*SHELL SECTION, NSET=FLUID, MATERIAL=Skin, THICKNESS=0.01, POINTS=5, SHEAR=1", "FLUID", "SHELL", "Skin",
         0.01, 5, 1.0},
        {"*SHELL SECTION, NSET=FLUID, MATERIAL=Skin, THICKNESS=0.01, SHEAR_CORRECTION=0.5, SHEAR=2", "FLUID", "SHELL",
         "Skin", 0.01, 3, 0.5},
        {"*SOLID SECTION, NSET=FLUID, MATERIAL=Mixed, THICKNESS=2", "FLUID", "SOLID", "Mixed", 2.0, 3,
         0.8333333333333334},
    };
    for (const SectionCase& c : good) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(keyword(c.line), 0) << sph_error_message();
        const SphSectionRecord& s = d.sections.back();
        EXPECT_EQ(s.section_name, c.set);
        EXPECT_EQ(s.section_type, c.type);
        EXPECT_EQ(s.section_material_name, c.material);
        EXPECT_EQ(s.section_thickness, c.thickness);
        EXPECT_EQ(s.section_integration_points, c.points);
        EXPECT_EQ(s.section_shear_correction, c.shear);
    }
    const std::string shell = "*SHELL SECTION, NSET=FLUID, ";
    expect_failures({{shell + "THICKNESS=0.01", 4, "Shell section is missing MATERIAL option"},
                     {shell + "MATERIAL=Later, THICKNESS=0.01", 4, "Shell section references unknown material"},
                     {shell + "MATERIAL=MATERIAL, THICKNESS=0.01", 4, "Shell section references non-Shell material"},
                     {shell + "MATERIAL=Skin", 4, "Shell section THICKNESS must be positive"},
                     {shell + "MATERIAL=Skin, THICKNESS=inf", 4, "Shell section THICKNESS must be positive"},
                     {shell + "MATERIAL=Skin, THICKNESS=0.01, POINTS=4", 4, "Shell section POINTS must be 3 or 5"},
                     {shell + "MATERIAL=Skin, THICKNESS=0.01, SHEAR=1.5", 4, "Shell section SHEAR_CORRECTION is invalid"},
                     {shell + "MATERIAL=Skin, THICKNESS=0.01, SHEAR=0", 4, "Shell section SHEAR_CORRECTION is invalid"},
                     {shell + "MATERIAL=Skin, THICKNESS=0.01, SHEAR=high", 4, "invalid section SHEAR_CORRECTION"},
                     // A solid section ahead of its material passes the reader and is refused by the records.
                     {"*SOLID SECTION, NSET=FLUID, MATERIAL=Later", 5, "section references unknown material"},
                     {"*ORIENTATION, NAME=", 4, "Orientation is missing NAME option"}},
                    as_keyword);
    EXPECT_TRUE(sph_input_reader.input_has_section);

    // A full material table is a setter failure on a keyword line: located, code kept.
    while (d.materials.size() < 32) ASSERT_EQ(keyword("*MATERIAL, NAME=Filler"), 0);
    EXPECT_EQ(keyword("*MATERIAL, NAME=Extra, TYPE=WATER"), 5);
    EXPECT_EQ(sph_error_message(), at7("too many material records"));
    EXPECT_EQ(sph_input_reader.active_material_name, "Extra");
    // The water phase noted the material all the same.
    EXPECT_EQ(sph_water.water_material_name, "Extra");
}

TEST_F(InputCards, NamesLongerThanARecordAreRefusedOnEveryCard) {
    // Records hold 64 characters. Records named with exactly 64 exist here, so each card
    // below takes that name; one character more would be cut to it and bind to (or merge
    // with) that record, so the card must refuse it instead.
    const std::string n64 = "Hull_" + std::string(59, 'q');
    ASSERT_EQ(n64.size(), 64u);
    ASSERT_EQ(keyword("*MATERIAL, NAME=" + n64 + ", TYPE=WATER"), 0) << sph_error_message();
    const int32_t nodes[2] = {1, 2}, elements[1] = {1};
    ASSERT_EQ(sph_db_add_nset(n64, 2, nodes), 0);
    ASSERT_EQ(sph_db_add_elset(n64, 1, elements), 0);
    ASSERT_EQ(keyword("*FLUID SECTION, NSET=FLUID, MATERIAL=WATER"), 0);
    ASSERT_EQ(sph_db_add_section(n64, "SECTION", "WATER", 0.0, 3, 5.0 / 6.0, ""), 0);

    // "@" stands for the name.
    const std::vector<std::string> cards = {
        "*MATERIAL, NAME=@, TYPE=WATER",
        "*NSET, NSET=@",
        "*ELSET, ELSET=@",
        "*ORIENTATION, NAME=@",
        "*FLUID SECTION, ELSET=@, MATERIAL=WATER",
        "*FLUID SECTION, NSET=@, MATERIAL=WATER",
        "*FLUID SECTION, NSET=FLUID, MATERIAL=@",
        "*FLUID SECTION, NSET=FLUID, MATERIAL=WATER, ORIENTATION=@",
        "*QUORREL, COUPLING REGION, NAME=@, SET=FLUID",
        "*QUORREL, COUPLING REGION, NAME=BY_SET, SET=@",
        "*QUORREL, COUPLING REGION, NAME=BY_NSET, NSET=@",
        "*QUORREL, COUPLING REGION, NAME=BY_ELSET, ELSET=@",
        "*QUORREL, COUPLING REGION, NAME=BY_SURFACE, SET=FLUID, SURFACE=@",
        "*QUORREL, COUPLING REGION, NAME=BY_MATERIAL, SET=FLUID, MATERIAL=@",
        "*QUORREL, COUPLING REGION, NAME=BY_SECTION, SET=FLUID, SECTION=@",
        "*QUORREL, ZENVIK, REGION=@",
        "*QUORREL, EOS, TYPE=TAIT, MATERIAL=@, RHO0=1000, C0=10, GAMMA=7",
        "*QUORREL, VISCOSITY, TYPE=MONAGHAN, MATERIAL=@, ALPHA=0.1, BETA=0, ETA2=0.01",
        "*QUORREL, BLAST REGION, NAME=@, RADIUS=2, SET=FLUID",
        "*QUORREL, BLAST REGION, NAME=BY_TARGET_SET, RADIUS=2, TARGET_SET=@",
        "*QUORREL, BLAST REGION, NAME=BY_ELSET, RADIUS=2, ELSET=@",
        "*QUORREL, SHELL DIRECTOR, SET=@, NX=0, NY=0, NZ=1",
        "*QUORREL, SHELL ROTATION, NSET=@, OX=1, OY=0, OZ=0",
    };
    auto with_name = [](std::string card, const std::string& name) { return card.replace(card.find('@'), 1, name); };
    for (const std::string& card : cards) {
        SCOPED_TRACE(card);
        sph_error_clear();
        EXPECT_EQ(keyword(with_name(card, n64)), 0) << sph_error_message();
        EXPECT_EQ(keyword(with_name(card, n64 + "X")), sph_error_input);
        EXPECT_EQ(sph_error_code(), sph_error_input);
        EXPECT_EQ(sph_error_message(), at7("name is too long"));
    }

    // The gas form of the EOS card names a gas material.
    const std::string g64 = "Bubble_" + std::string(57, 'g');
    ASSERT_EQ(keyword("*MATERIAL, NAME=" + g64 + ", TYPE=GAS"), 0) << sph_error_message();
    const std::string gas_card = "*QUORREL, EOS, TYPE=IDEAL_GAS, MATERIAL=@, GAMMA=1.4, E0=2";
    EXPECT_EQ(keyword(with_name(gas_card, g64 + "X")), sph_error_input);
    EXPECT_EQ(sph_error_message(), at7("name is too long"));
    EXPECT_EQ(keyword(with_name(gas_card, g64)), 0) << sph_error_message();

    // The solid and shell control cards name a solid and a shell material.
    const std::string s64 = "Plate_" + std::string(58, 's'), k64 = "Skin_" + std::string(59, 'k');
    ASSERT_EQ(keyword("*MATERIAL, NAME=" + s64 + ", TYPE=SOLID"), 0) << sph_error_message();
    ASSERT_EQ(keyword("*MATERIAL, NAME=" + k64 + ", TYPE=SHELL"), 0) << sph_error_message();
    for (const auto& [control_card, name] : {std::pair<std::string, std::string>{"*QUORREL, SOLID CONTROL, MATERIAL=@", s64},
                                             {"*QUORREL, SHELL CONTROL, MATERIAL=@", k64}}) {
        SCOPED_TRACE(control_card);
        EXPECT_EQ(keyword(with_name(control_card, name + "X")), sph_error_input);
        EXPECT_EQ(sph_error_message(), at7("name is too long"));
        EXPECT_EQ(keyword(with_name(control_card, name)), 0) << sph_error_message();
    }

    // The explosive cards name an explosive material and a product gas.
    const std::string e64 = "Charge_" + std::string(57, 'e');
    ASSERT_EQ(keyword("*MATERIAL, NAME=" + e64 + ", TYPE=EXPLOSIVE"), 0) << sph_error_message();
    ASSERT_EQ(keyword("*MATERIAL, NAME=TNT, TYPE=EXPLOSIVE"), 0) << sph_error_message();
    const std::string burn = ", TYPE=PROGRAMMED_BURN, DETONATION_VELOCITY=6930, ENERGY=4.3e6, BURN_TIME=1e-6";
    const struct {
        std::string card, name;
    } explosive_cards[] = {
        {"*QUORREL, EXPLOSIVE, MATERIAL=@, PRODUCT_MATERIAL=" + g64 + burn, e64},
        {"*QUORREL, EXPLOSIVE, MATERIAL=TNT, PRODUCT_MATERIAL=@" + burn, g64},
        {"*QUORREL, IGNITION, MATERIAL=@, X=0, Y=0, Z=0, TIME=0", e64},
    };
    for (const auto& c : explosive_cards) {
        SCOPED_TRACE(c.card);
        EXPECT_EQ(keyword(with_name(c.card, c.name + "X")), sph_error_input);
        EXPECT_EQ(sph_error_message(), at7("name is too long"));
        EXPECT_EQ(keyword(with_name(c.card, c.name)), 0) << sph_error_message();
    }

    // Trailing blanks are padding, not part of the name.
    sph_error_clear();
    EXPECT_EQ(sph_input_check_names({"A", n64 + "    "}), 0);
    EXPECT_EQ(sph_input_check_names({"A", " " + n64}), sph_error_input);
    EXPECT_EQ(sph_error_message(), at7("name is too long"));
}

TEST_F(InputCards, DataLinesCheckFieldCountsAndNumbers) {
    ASSERT_EQ(sph_input_parse_node("2, 3.0, 4.0, 5.0, ignored", 1), 0) << sph_error_message();
    EXPECT_EQ(sph_database.particle_id_ext[1], 2);
    EXPECT_EQ(sph_database.x[5], 5.0);

    sph_input_reader.active_element_type = "S4";
    ASSERT_EQ(sph_input_parse_element("7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10"), 0);
    EXPECT_EQ(sph_database.elements.back().element_conn, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(sph_database.elements.back().element_type, "S4");

    std::string members;
    for (int k = 1; k <= 70; ++k) members += (k > 1 ? ", " : "") + std::to_string(100 + k);
    ASSERT_EQ(sph_input_parse_set_members(members, "BIG", true), 0);
    const SphSetRecord& big = sph_database.nsets.back();
    ASSERT_EQ(big.members.size(), 64u);
    EXPECT_EQ(big.members.front(), 101);
    EXPECT_EQ(big.members.back(), 164);
    // A set carried on over another line keeps what it had.
    ASSERT_EQ(sph_input_parse_set_members("1", "BIG", true), 0);
    EXPECT_EQ(sph_database.nsets.back().members.size(), 65u);

    struct ParseCase {
        int (*parse)(std::string_view);
        std::string line;
        std::string message;
    };
    const std::vector<ParseCase> bad = {
        {sph_input_parse_elastic, "2e11", "invalid *ELASTIC record"},
        {sph_input_parse_elastic, "E, 0.3", "invalid elastic modulus"},
        {sph_input_parse_elastic, "2e11, nu", "invalid Poisson ratio"},
        {sph_input_parse_plastic, "1, 2, 3, 4, 5, 6, 7", "invalid Johnson-Cook plastic record"},
        {sph_input_parse_plastic, "1, 2, 3, 4, 5, 6, 7, melt", "invalid Johnson-Cook plastic value"},
        {sph_input_parse_damage_initiation, "1, 2, 3, 4", "invalid Johnson-Cook damage record"},
        {sph_input_parse_damage_initiation, "1, 2, 3, 4, ", "invalid Johnson-Cook damage value"},
        {sph_input_parse_orientation, "0, 0, 1, 1, 0", "invalid *ORIENTATION record"},
        {sph_input_parse_orientation, "0, 0, 1, 1, 0, z", "invalid *ORIENTATION numeric value"},
        {sph_input_parse_element, "7, 1, x", "invalid element connectivity"},
    };
    for (const ParseCase& c : bad) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.parse(c.line), 4);
        EXPECT_EQ(sph_error_message(), at7(c.message));
    }
    // Good lines of a solid material reach the solid table; fields past the last are ignored.
    ASSERT_EQ(keyword("*MATERIAL, NAME=STEEL, TYPE=SOLID"), 0);
    for (const std::string line : {"2e11, 0.3,", "2e11, 0.3, 7, 8"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(sph_input_parse_elastic(line), 0) << sph_error_message();
    }
    EXPECT_EQ(sph_input_parse_plastic("1, 2, 3, 4, 5, 6, 7, 8, extra"), 0);
    EXPECT_EQ(sph_input_parse_damage_initiation("0.05, 3.44, -2.12, 0.002, 0.61"), 0);
    EXPECT_EQ(sph_input_parse_orientation("0, 0, 1, 1, 0, 0"), 0);
}

}  // namespace
