program solver
  use mekal
  implicit none
  integer :: stat
  double precision :: residuals(3) = [1.0d-3, 2.5d-6, 1.5d-9]
  character(len=16) :: inputs(2) = [character(len=16) :: 'mesh.h5', 'params.toml']
  character(len=:), allocatable :: host

  call mekal_record('iterations', 500, subcategory='solver')    ! %d
  call mekal_record('residuals', residuals, subcategory='solver') ! {%f}
  call mekal_record('inputs', inputs, subcategory='io')          ! {%s}, blanks trimmed
  call mekal_record('converged', .true., stat=stat)              ! %d, 1
  if (stat /= 0) error stop 'converged: not recorded'

  call mekal_collect_all()    ! user, host, executable, command line, ...
  call mekal_get('hostname', host, stat)
  if (stat == 0) then
    print '(2a)', 'recorded on ', host
    deallocate(host)          ! a main program's variables are never released
  end if
  call mekal_fini()
  call mekal_clean()
end program solver
