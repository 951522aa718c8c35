! A Fortran program calling the Fortran-callable entry points as ordinary external
! procedures (every argument by reference, status last).
! Usage: f_caller water.inp gas.inp explosive.inp solid.inp
! The water deck is the four free-falling water particles: four steps to t = 2**-8.
! The gas deck is two gas particles (rho 1 and 2, mass 1, volume 0.5) at rest under a
! body force (1, -2, 2), one step of 2**-4: their pressure forces cancel in the totals,
! so the momentum is dt * (2, -4, 4) = (0.125, -0.25, 0.25).
! The explosive deck is four charge particles of mass 1 at x = 0, 1, 2, 3 ignited from
! (-1, 0, 0) at time 0 with detonation velocity 2: arrivals 0.5, 1, 1.5, 2. A point
! (3, 1.5, 2) at time 0.25 is 2.5 from the last particle, whose arrival becomes
! 0.25 + 2.5 / 2 = 1.5 (the others are nearer the deck's point). Eight steps of
! burn time / 4 = 0.25 to t = 2 then give progress 1, 1, 0.5, 0.5: released mass 3,
! energy 3 * 4 = 12, remaining mass 1.
! The solid deck is four solid particles of mass 1 and h 1 on the corners of a right
! tetrahedron of edge 0.5, and one water particle far away (third of five). E = 30,
! nu = 0.25 and density 144 give G = 12, K = 20, wave speed sqrt((20 + 16) / 144) = 0.5.
! Each solid has the other three as reference neighbours; the moment matrices are 0.25
! times a matrix of determinant 1, so every determinant is 0.25**3 = 1/64, status 0. At
! rest under the body force (0, 3, -4) every acceleration is that force: dt_cfl = h / c = 2,
! dt_accel = sqrt(1 / 5), the limit.
program f_caller
  implicit none
  integer, parameter :: i4 = selected_int_kind(9)
  integer, parameter :: r8 = selected_real_kind(15, 307)
  integer(i4) :: ierr, n, i, count, step, code, capacity, actual
  integer(i4) :: codes(1024), message(256)
  real(r8) :: time, mass, momentum(3), density_range(2), dt_limits(3)
  real(r8) :: volume, center(3), mean_pressure, max_pressure
  real(r8) :: mass_source, momentum_source(3), energy_source
  integer(i4) :: tracked, reacted
  real(r8) :: lambda_range(3), released(5), detonation(2)
  real(r8) :: mass_values(4), energy_values(2), momentum_values(3)
  real(r8) :: ign_x, ign_y, ign_z, ign_time
  integer(i4) :: active, failed, nmin, cstat, max_particles, rows
  real(r8) :: von_mises, energy(2), plastic(2), damage(2), softening(2), det_min, diag(3)
  real(r8) :: table(22, 5)
  integer(i4) :: fail(5), nbrs(5), degen(5), corr(5)
  character(len=1024) :: deck
  character(len=*), parameter :: not_init = 'Quorrel API is not initialized'
  logical :: ok

  ok = .true.
  call get_command_argument(1, deck)
  n = len_trim(deck)
  if (n < 1) stop 2
  do i = 1, n
    codes(i) = iachar(deck(i:i))
  end do

  call sphft_initialize(ierr)
  call check('initialise', ierr, 0)
  call sphft_read_inp_chars(codes, n, ierr)
  call check('read', ierr, 0)
  call sphft_build_model(ierr)
  call check('build', ierr, 0)
  call sphft_run_explicit(ierr)
  call check('run', ierr, 0)

  call sphft_get_particle_count(count, ierr)
  call check('count status', ierr, 0)
  call check('particle count', count, 4)

  call sphft_get_current_time(time, step, ierr)
  call check('time status', ierr, 0)
  call check('step', step, 4)
  if (abs(time - 0.00390625_r8) > 1.0e-15_r8) then
    print *, 'FAIL time ', time
    ok = .false.
  end if

  call sphft_finalize(ierr)
  call check('finalise', ierr, 0)

  ! A guarded call on the closed interface, then its message back as codes.
  call sphft_run_explicit(ierr)
  call check('run after finalise', ierr, 2)
  capacity = 256
  call sphft_get_last_error_chars(code, message, capacity, actual, ierr)
  call check('last error status', ierr, 0)
  call check('last error code', code, 2)
  call check('last error length', actual, len(not_init))
  do i = 1, len(not_init)
    if (message(i) /= iachar(not_init(i:i))) then
      print *, 'FAIL message character ', i
      ok = .false.
    end if
  end do
  call check('terminating zero', message(len(not_init) + 1), 0)

  ! A gas query on the closed interface: the guard's code and zeroed outputs.
  volume = -1.0_r8
  center = -1.0_r8
  call sphft_get_gas_summary(volume, center, mean_pressure, max_pressure, ierr)
  call check('gas summary closed', ierr, 2)
  call check_real('gas summary closed volume', volume, 0.0_r8)
  call check_real('gas summary closed centre x', center(1), 0.0_r8)

  call get_command_argument(2, deck)
  n = len_trim(deck)
  if (n < 1) stop 2
  do i = 1, n
    codes(i) = iachar(deck(i:i))
  end do
  call sphft_initialize(ierr)
  call sphft_read_inp_chars(codes, n, ierr)
  call check('gas read', ierr, 0)
  call sphft_build_model(ierr)
  call check('gas build', ierr, 0)
  call sphft_run_explicit(ierr)
  call check('gas run', ierr, 0)
  call sphft_get_gas_extended_summary(mass, momentum, density_range, dt_limits, ierr)
  call check('gas extended status', ierr, 0)
  call check_real('gas mass', mass, 2.0_r8)
  call check_real('gas momentum y', momentum(2), -0.25_r8)
  call check_real('gas momentum z', momentum(3), 0.25_r8)
  call check_real('gas min density', density_range(1), 1.0_r8)
  call check_real('gas max density', density_range(2), 2.0_r8)
  call sphft_get_gas_summary(volume, center, mean_pressure, max_pressure, ierr)
  call check('gas summary status', ierr, 0)
  call check_real('gas volume', volume, 1.0_r8)
  call check_real('gas mean pressure', mean_pressure, 1.5_r8)
  call sphft_get_gas_source_summary(mass_source, momentum_source, energy_source, ierr)
  call check('gas source status', ierr, 0)
  call check_real('gas source mass', mass_source, 0.0_r8)

  call sphft_finalize(ierr)

  ! The explosive entries on the closed interface: the guard's code and zeroed outputs.
  ign_x = 3.0_r8
  ign_y = 1.5_r8
  ign_z = 2.0_r8
  ign_time = 0.25_r8
  call sphft_set_ignition_point(ign_x, ign_y, ign_z, ign_time, ierr)
  call check('ignition closed', ierr, 2)
  tracked = -1
  detonation = -1.0_r8
  call sphft_get_explosive_summary(tracked, reacted, lambda_range, released, detonation, ierr)
  call check('explosive summary closed', ierr, 2)
  call check('explosive summary closed count', tracked, 0)
  call check_real('explosive summary closed detonation max', detonation(2), 0.0_r8)
  mass_values = -1.0_r8
  call sphft_get_explosive_release_balance(mass_values, energy_values, momentum_values, ierr)
  call check('explosive balance closed', ierr, 2)
  call check_real('explosive balance closed initial mass', mass_values(1), 0.0_r8)

  call get_command_argument(3, deck)
  n = len_trim(deck)
  if (n < 1) stop 2
  do i = 1, n
    codes(i) = iachar(deck(i:i))
  end do
  call sphft_initialize(ierr)
  call sphft_read_inp_chars(codes, n, ierr)
  call check('explosive read', ierr, 0)
  call sphft_build_model(ierr)
  call check('explosive build', ierr, 0)
  call sphft_set_ignition_point(ign_x, ign_y, ign_z, ign_time, ierr)
  call check('ignition point', ierr, 0)
  call sphft_get_explosive_summary(tracked, reacted, lambda_range, released, detonation, ierr)
  call check('explosive summary status', ierr, 0)
  call check('explosive tracked', tracked, 4)
  call check_real('arrival min', detonation(1), 0.5_r8)
  call check_real('arrival max after the new point', detonation(2), 1.5_r8)
  call sphft_run_explicit(ierr)
  call check('explosive run', ierr, 0)
  call sphft_get_explosive_summary(tracked, reacted, lambda_range, released, detonation, ierr)
  call check('reacted after the burn', reacted, 4)
  call check_real('lambda min', lambda_range(1), 0.5_r8)
  call check_real('lambda mean', lambda_range(3), 0.75_r8)
  call check_real('released mass', released(1), 3.0_r8)
  call check_real('released energy', released(2), 12.0_r8)
  call sphft_get_explosive_release_balance(mass_values, energy_values, momentum_values, ierr)
  call check('explosive balance status', ierr, 0)
  call check_real('initial mass', mass_values(1), 4.0_r8)
  call check_real('remaining mass', mass_values(3), 1.0_r8)
  call check_real('energy error', energy_values(2), 0.0_r8)

  call sphft_finalize(ierr)

  ! The solid entries on the closed interface: the guard's code, counts zeroed.
  active = -1
  failed = -1
  call sphft_get_solid_counts(active, failed, ierr)
  call check('solid counts closed', ierr, 2)
  call check('solid counts closed active', active, 0)
  call check('solid counts closed failed', failed, 0)

  call get_command_argument(4, deck)
  n = len_trim(deck)
  if (n < 1) stop 2
  do i = 1, n
    codes(i) = iachar(deck(i:i))
  end do
  call sphft_initialize(ierr)
  call sphft_read_inp_chars(codes, n, ierr)
  call check('solid read', ierr, 0)
  call sphft_build_model(ierr)
  call check('solid build', ierr, 0)
  call sphft_get_solid_counts(active, failed, ierr)
  call check('solid counts status', ierr, 0)
  call check('solid active', active, 4)
  call check('solid failed', failed, 0)
  call sphft_get_solid_summary(active, failed, mass, momentum, energy, von_mises, plastic, damage, &
                               softening, dt_limits, ierr)
  call check('solid summary status', ierr, 0)
  call check_real('solid mass', mass, 4.0_r8)
  call check_real('solid momentum z', momentum(3), 0.0_r8)
  call check_real('solid softening min', softening(1), 1.0_r8)
  call check_real('solid softening max', softening(2), 1.0_r8)
  call check_real('solid dt_cfl', dt_limits(1), 2.0_r8)
  call check_real('solid dt_accel', dt_limits(2), sqrt(1.0_r8 / 5.0_r8))
  call check_real('solid dtcrit', dt_limits(3), sqrt(1.0_r8 / 5.0_r8))
  call sphft_get_solid_reference_quality(nmin, det_min, cstat, ierr)
  call check('reference quality status', ierr, 0)
  call check('reference neighbour minimum', nmin, 3)
  call check_real('correction determinant minimum', det_min, 1.0_r8 / 64.0_r8)
  call check('correction status maximum', cstat, 0)
  rows = 3
  call sphft_get_solid_diagnostics(rows, diag, ierr)
  call check('solid diagnostics status', ierr, 0)
  call check_real('max acceleration', diag(2), 5.0_r8)
  ! The entry itself refuses a buffer of two.
  rows = 2
  call sphft_get_solid_diagnostics(rows, diag, ierr)
  call check('solid diagnostics of two', ierr, 1)
  ! The table as a Fortran array: table(row, particle).
  rows = 22
  max_particles = 5
  call sphft_get_solid_state(max_particles, rows, table, fail, nbrs, degen, corr, count, ierr)
  call check('solid state status', ierr, 0)
  call check('solid state count', count, 5)
  call check_real('softening of particle 1', table(21, 1), 1.0_r8)
  call check_real('softening of the water particle', table(21, 3), 0.0_r8)
  call check_real('softening of particle 5', table(21, 5), 1.0_r8)
  call check('neighbours of particle 2', nbrs(2), 3)
  call check('neighbours of the water particle', nbrs(3), 0)
  max_particles = 4
  call sphft_get_solid_state(max_particles, rows, table, fail, nbrs, degen, corr, count, ierr)
  call check('solid state for 4 of 5', ierr, 1)
  call check('solid state for 4 of 5 count', count, 0)

  call sphft_finalize(ierr)
  if (.not. ok) stop 1
  print '(a)', 'fortran caller: all checks passed'

contains

  subroutine check(what, got, want)
    character(len=*), intent(in) :: what
    integer(i4), intent(in) :: got, want
    if (got /= want) then
      print *, 'FAIL ', what, ': got ', got, ', want ', want
      ok = .false.
    end if
  end subroutine check

  subroutine check_real(what, got, want)
    character(len=*), intent(in) :: what
    real(r8), intent(in) :: got, want
    if (got /= want) then
      print *, 'FAIL ', what, ': got ', got, ', want ', want
      ok = .false.
    end if
  end subroutine check_real

end program f_caller
