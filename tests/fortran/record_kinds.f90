! Records a value of every kind and rank through the module, for
! fortran_record_test.c to read back through the C lookup, and checks what
! mekal_get and stat give. failures: the number of failed checks.
subroutine record_kinds(failures) bind(C, name="record_kinds")
  use, intrinsic :: iso_c_binding
  use mekal
  implicit none
  integer(c_int), intent(out) :: failures
  integer :: stat, i, six(6)
  integer(c_int8_t) :: small
  integer(c_int64_t) :: big
  real(c_float) :: single
  logical :: flag
  character(len=:), allocatable :: text

  failures = 0
  call mekal_record('i8', -huge(0_c_int8_t), stat=stat)
  call check(stat == 0)
  call mekal_record('i16', 32767_c_int16_t, subcategory='fortran')
  call mekal_record('i32', -7, category=mekal_category_performance, subcategory='')
  call mekal_record('i64', huge(0_c_int64_t))
  call mekal_record('r32', 0.1_c_float)
  call mekal_record('r64', 0.1_c_double)
  call mekal_record('yes', .true.)
  call mekal_record('padded', 'box  ', subcategory='fortran')
  call mekal_record('empty', '')
  call mekal_record('i8s', [-1_c_int8_t, 127_c_int8_t])
  call mekal_record('i16s', [-huge(0_c_int16_t)])
  six = [(i, i = 1, 6)]
  call mekal_record('i32s', six(1:6:2))  ! a section that is not contiguous
  call mekal_record('i64s', [-huge(0_c_int64_t), 0_c_int64_t])
  call mekal_record('r32s', [0.5_c_float, -2.0_c_float])
  call mekal_record('r64s', [1.0e300_c_double])
  call mekal_record('flags', [.true., .false., .true.])
  call mekal_record('names', [character(len=5) :: 'a', ' b', ''])
  call mekal_record('nothing', [integer ::])
  call mekal_record('nul' // c_null_char, 1, stat=stat)
  call check(stat == -1)

  big = 0
  call mekal_get('i64', big)
  call check(big == huge(0_c_int64_t))
  call mekal_get('i8', big)
  call check(big == -127)
  call mekal_get('r32', single, stat)
  call check(stat == 0 .and. same(single, 0.1_c_float))
  call mekal_get('padded', text)
  call check(text == 'box  ' .and. len(text) == 5)
  flag = .false.
  call mekal_get('yes', flag)
  call check(flag)
  ! Refused reads leave the variable as it was.
  small = 5
  call mekal_get('i16', small, stat)  ! 32767 does not fit
  call check(stat == -1 .and. small == 5)
  call mekal_get('r64', single, stat)  ! 0.1 is no float
  call check(stat == -1 .and. same(single, 0.1_c_float))
  call mekal_get('padded', small, stat)
  call check(stat == -1)
  call mekal_get('missing', text, stat)
  call check(stat == -1 .and. text == 'box  ')
contains
  subroutine check(ok)
    logical, intent(in) :: ok
    if (.not. ok) failures = failures + 1
  end subroutine check
  logical function same(a, b)  ! bit for bit
    real(c_float), intent(in) :: a, b
    same = transfer(a, 0_c_int32_t) == transfer(b, 0_c_int32_t)
  end function same
end subroutine record_kinds
