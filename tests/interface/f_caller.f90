! A Fortran program calling the Fortran-callable entry points as ordinary external
! procedures (every argument by reference, status last). Usage: f_caller deck.inp
! The deck is the four free-falling water particles: four steps to t = 2**-8.
program f_caller
  implicit none
  integer, parameter :: i4 = selected_int_kind(9)
  integer, parameter :: r8 = selected_real_kind(15, 307)
  integer(i4) :: ierr, n, i, count, step, code, capacity, actual
  integer(i4) :: codes(1024), message(256)
  real(r8) :: time
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

end program f_caller
