! mekal for Fortran: record metadata about one run of a program as named,
! typed values, through libmekal.so's typed entries (mekal.h).
!
!   call mekal_record(name, value [, category] [, subcategory] [, stat])
!     value: integer of 8, 16, 32 or 64 bits, real of 32 or 64 bits,
!     logical or character, a scalar or a rank-1 array (recorded as a list;
!     the texts of a character array without their trailing blanks).
!   call mekal_get(name, value [, stat])
!     a scalar of the same kinds; value is left as it was on failure.
!   call mekal_collect_all / mekal_hostinfo / mekal_jobinfo / mekal_clean
!     ([stat]), call mekal_fini()
!
! stat, when present, is 0 on success and -1 on failure; without it a
! failure is silent, as in the C interface. Texts are passed with their
! length: a scalar text is recorded whole, so pass trim(x) for a padded
! variable.
module mekal
  use, intrinsic :: iso_c_binding, only: c_bool, c_char, c_double, c_float, c_int, c_int8_t, &
    c_int16_t, c_int32_t, c_int64_t, c_loc, c_null_ptr, c_ptr, c_size_t, c_f_pointer
  implicit none
  private

  public :: mekal_record, mekal_get, mekal_collect_all, mekal_hostinfo, mekal_jobinfo, &
    mekal_fini, mekal_clean
  public :: mekal_category_all, mekal_category_general, mekal_category_performance, &
    mekal_category_control

  ! Categories, as in mekal.h. Values are recorded as general by default.
  integer, parameter :: mekal_category_all = 1          ! every category (filters only)
  integer, parameter :: mekal_category_general = 2      ! run metadata
  integer, parameter :: mekal_category_performance = 3  ! timings
  integer, parameter :: mekal_category_control = 4      ! control events, never stored

  ! mekal_kind_t codes of the typed entries.
  integer(c_int32_t), parameter :: kind_int8 = 1, kind_int16 = 2, kind_int32 = 3, &
    kind_int64 = 4, kind_real32 = 5, kind_real64 = 6, kind_logical = 7, kind_text = 8

  interface mekal_record
    module procedure record_int8, record_int16, record_int32, record_int64, record_real32, &
      record_real64, record_logical, record_text, record_int8_list, record_int16_list, &
      record_int32_list, record_int64_list, record_real32_list, record_real64_list, &
      record_logical_list, record_text_list
  end interface mekal_record

  interface mekal_get
    module procedure get_int8, get_int16, get_int32, get_int64, get_real32, get_real64, &
      get_logical, get_text
  end interface mekal_get

  interface
    function c_record_scalar(name, name_length, category, subcategory, subcategory_length, &
                             kind, item, text_length) result(rc) bind(C, name="mekal_record_scalar")
      import :: c_char, c_int, c_int32_t, c_ptr, c_size_t
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: name_length, subcategory_length, text_length
      integer(c_int32_t), value :: category, kind
      type(c_ptr), value :: subcategory, item
      integer(c_int) :: rc
    end function c_record_scalar

    function c_record_array(name, name_length, category, subcategory, subcategory_length, &
                            kind, items, count, text_length) result(rc) &
                            bind(C, name="mekal_record_array")
      import :: c_char, c_int, c_int32_t, c_ptr, c_size_t
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: name_length, subcategory_length, count, text_length
      integer(c_int32_t), value :: category, kind
      type(c_ptr), value :: subcategory, items
      integer(c_int) :: rc
    end function c_record_array

    function c_get_scalar(name, name_length, kind, item) result(rc) &
                          bind(C, name="mekal_get_scalar")
      import :: c_char, c_int, c_int32_t, c_ptr, c_size_t
      character(kind=c_char), intent(in) :: name(*)
      integer(c_size_t), value :: name_length
      integer(c_int32_t), value :: kind
      type(c_ptr), value :: item
      integer(c_int) :: rc
    end function c_get_scalar

    function c_strlen(text) result(length) bind(C, name="strlen")
      import :: c_ptr, c_size_t
      type(c_ptr), value :: text
      integer(c_size_t) :: length
    end function c_strlen

    function c_collect_all() result(rc) bind(C, name="mekal_collect_all")
      import :: c_int
      integer(c_int) :: rc
    end function c_collect_all

    function c_hostinfo() result(rc) bind(C, name="mekal_hostinfo")
      import :: c_int
      integer(c_int) :: rc
    end function c_hostinfo

    function c_jobinfo() result(rc) bind(C, name="mekal_jobinfo")
      import :: c_int
      integer(c_int) :: rc
    end function c_jobinfo

    subroutine c_fini() bind(C, name="mekal_fini")
    end subroutine c_fini

    function c_clean() result(rc) bind(C, name="mekal_clean")
      import :: c_int
      integer(c_int) :: rc
    end function c_clean
  end interface

contains

  ! Hands one recording to the C entries: a list of count items when count
  ! is present, else one.
  subroutine record_c(name, kind, items, text_length, category, subcategory, stat, count)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in) :: kind
    type(c_ptr), intent(in) :: items
    integer(c_size_t), intent(in) :: text_length
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional, target :: subcategory
    integer, intent(out), optional :: stat
    integer(c_size_t), intent(in), optional :: count
    integer(c_int32_t) :: chosen
    type(c_ptr) :: sub
    integer(c_size_t) :: sub_length
    integer(c_int) :: rc

    chosen = mekal_category_general
    if (present(category)) chosen = int(category, c_int32_t)
    sub = c_null_ptr
    sub_length = 0
    if (present(subcategory)) then
      sub = c_loc(subcategory)
      sub_length = len(subcategory, kind=c_size_t)
    end if
    if (present(count)) then
      rc = c_record_array(name, len(name, kind=c_size_t), chosen, sub, sub_length, kind, items, &
                          count, text_length)
    else
      rc = c_record_scalar(name, len(name, kind=c_size_t), chosen, sub, sub_length, kind, items, &
                           text_length)
    end if
    call set_stat(stat, rc)
  end subroutine record_c

  subroutine set_stat(stat, rc)
    integer, intent(out), optional :: stat
    integer(c_int), intent(in) :: rc
    if (present(stat)) stat = int(rc)
  end subroutine set_stat

  subroutine record_int8(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int8_t), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_int8, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_int8

  subroutine record_int16(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int16_t), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_int16, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_int16

  subroutine record_int32(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_int32, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_int32

  subroutine record_int64(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int64_t), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_int64, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_int64

  subroutine record_real32(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    real(c_float), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_real32, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_real32

  subroutine record_real64(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    real(c_double), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    call record_c(name, kind_real64, c_loc(value), 0_c_size_t, category, subcategory, stat)
  end subroutine record_real64

  ! The C side takes one byte per logical: a default logical's layout is the
  ! compiler's own.
  subroutine record_logical(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    logical, intent(in) :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    logical(c_bool), target :: flag
    flag = value
    call record_c(name, kind_logical, c_loc(flag), 0_c_size_t, category, subcategory, stat)
  end subroutine record_logical

  subroutine record_text(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    character(len=*), intent(in), target :: value
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: text
    ! Through a variable: gfortran 12 passes c_loc of a text with a hidden
    ! length of its own, which shifts the lengths of the texts after it.
    text = c_loc(value)
    call record_c(name, kind_text, text, len(value, kind=c_size_t), category, subcategory, stat)
  end subroutine record_text

  ! The lists: contiguous, so that the C side reads the elements packed (the
  ! compiler copies an array section that is not); c_loc needs at least one
  ! element, and the C side takes no pointer for none.
  subroutine record_int8_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int8_t), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_int8, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_int8_list

  subroutine record_int16_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int16_t), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_int16, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_int16_list

  subroutine record_int32_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_int32, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_int32_list

  subroutine record_int64_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    integer(c_int64_t), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_int64, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_int64_list

  subroutine record_real32_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    real(c_float), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_real32, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_real32_list

  subroutine record_real64_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    real(c_double), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_real64, items, 0_c_size_t, category, subcategory, stat, &
                  size(value, kind=c_size_t))
  end subroutine record_real64_list

  subroutine record_logical_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    logical, intent(in) :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    logical(c_bool), allocatable, target :: flags(:)
    type(c_ptr) :: items
    allocate(flags(size(value)))
    flags = value
    items = c_null_ptr
    if (size(flags) > 0) items = c_loc(flags)
    call record_c(name, kind_logical, items, 0_c_size_t, category, subcategory, stat, &
                  size(flags, kind=c_size_t))
  end subroutine record_logical_list

  subroutine record_text_list(name, value, category, subcategory, stat)
    character(len=*), intent(in) :: name
    character(len=*), intent(in), target, contiguous :: value(:)
    integer, intent(in), optional :: category
    character(len=*), intent(in), optional :: subcategory
    integer, intent(out), optional :: stat
    type(c_ptr) :: items
    items = c_null_ptr
    if (size(value) > 0) items = c_loc(value)
    call record_c(name, kind_text, items, len(value, kind=c_size_t), category, subcategory, &
                  stat, size(value, kind=c_size_t))
  end subroutine record_text_list

  ! Reads the scalar into item, written only on success; found tells which.
  subroutine get_c(name, kind, item, stat, found)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(in) :: kind
    type(c_ptr), intent(in) :: item
    integer, intent(out), optional :: stat
    logical, intent(out), optional :: found
    integer(c_int) :: rc
    rc = c_get_scalar(name, len(name, kind=c_size_t), kind, item)
    call set_stat(stat, rc)
    if (present(found)) found = rc == 0
  end subroutine get_c

  subroutine get_int8(name, value, stat)
    character(len=*), intent(in) :: name
    integer(c_int8_t), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_int8, c_loc(value), stat)
  end subroutine get_int8

  subroutine get_int16(name, value, stat)
    character(len=*), intent(in) :: name
    integer(c_int16_t), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_int16, c_loc(value), stat)
  end subroutine get_int16

  subroutine get_int32(name, value, stat)
    character(len=*), intent(in) :: name
    integer(c_int32_t), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_int32, c_loc(value), stat)
  end subroutine get_int32

  subroutine get_int64(name, value, stat)
    character(len=*), intent(in) :: name
    integer(c_int64_t), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_int64, c_loc(value), stat)
  end subroutine get_int64

  subroutine get_real32(name, value, stat)
    character(len=*), intent(in) :: name
    real(c_float), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_real32, c_loc(value), stat)
  end subroutine get_real32

  subroutine get_real64(name, value, stat)
    character(len=*), intent(in) :: name
    real(c_double), intent(inout), target :: value
    integer, intent(out), optional :: stat
    call get_c(name, kind_real64, c_loc(value), stat)
  end subroutine get_real64

  subroutine get_logical(name, value, stat)
    character(len=*), intent(in) :: name
    logical, intent(inout) :: value
    integer, intent(out), optional :: stat
    logical(c_bool), target :: flag
    logical :: found
    call get_c(name, kind_logical, c_loc(flag), stat, found)
    if (found) value = flag
  end subroutine get_logical

  ! The text is copied out of the registry into value, allocated to its length.
  subroutine get_text(name, value, stat)
    character(len=*), intent(in) :: name
    character(len=:), allocatable, intent(inout) :: value
    integer, intent(out), optional :: stat
    type(c_ptr), target :: text
    character(kind=c_char), pointer :: chars(:)
    character(len=:), allocatable :: copy
    integer :: i, length
    logical :: found
    call get_c(name, kind_text, c_loc(text), stat, found)
    if (.not. found) return
    length = int(c_strlen(text))
    call c_f_pointer(text, chars, [length])
    allocate(character(len=length) :: copy)
    do i = 1, length
      copy(i:i) = chars(i)
    end do
    value = copy
  end subroutine get_text

  ! Collective in an MPI build of libmekal, as in C: every rank calls it.
  subroutine mekal_collect_all(stat)
    integer, intent(out), optional :: stat
    call set_stat(stat, c_collect_all())
  end subroutine mekal_collect_all

  subroutine mekal_hostinfo(stat)
    integer, intent(out), optional :: stat
    call set_stat(stat, c_hostinfo())
  end subroutine mekal_hostinfo

  subroutine mekal_jobinfo(stat)
    integer, intent(out), optional :: stat
    call set_stat(stat, c_jobinfo())
  end subroutine mekal_jobinfo

  subroutine mekal_fini()
    call c_fini()
  end subroutine mekal_fini

  subroutine mekal_clean(stat)
    integer, intent(out), optional :: stat
    call set_stat(stat, c_clean())
  end subroutine mekal_clean

end module mekal
