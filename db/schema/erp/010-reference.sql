-- Reference tables of the ERP that the screen reads: branches, companies, state
-- registrations with their NF-e settings, document series, the companies that
-- operate at each branch, customers and suppliers; and the host's processing
-- date per branch.
--
-- Text columns are VARCHAR: PostgreSQL pads CHAR(n) with blanks and SQLite does
-- not, and the screen compares codes as typed.

-- Companies of the group.
CREATE TABLE EMPRESA (
    CDEMPRESA    VARCHAR(2)  NOT NULL,
    NMRAZSOCEMPR VARCHAR(80) NOT NULL,
    CONSTRAINT EMPRESA_PK PRIMARY KEY (CDEMPRESA)
);

-- Branches. CDEMPRESA, CDINSCESTA, CDINSCMUNI and CDSERIE are the company,
-- registrations and default series under which the branch issues its own
-- invoices; NRCNPJFILIAL is the branch's CNPJ (14 digits), the NF-e issuer.
CREATE TABLE FILIAL (
    CDFILIAL     VARCHAR(4)  NOT NULL,
    NMFILIAL     VARCHAR(30) NOT NULL,
    CDEMPRESA    VARCHAR(2)  NOT NULL,
    CDINSCESTA   VARCHAR(16) NOT NULL,
    CDINSCMUNI   VARCHAR(16) NOT NULL,
    CDSERIE      VARCHAR(5)  NOT NULL,
    NRCNPJFILIAL VARCHAR(14) NOT NULL,
    CONSTRAINT FILIAL_PK PRIMARY KEY (CDFILIAL),
    CONSTRAINT FILIAL_EMPRESA FOREIGN KEY (CDEMPRESA) REFERENCES EMPRESA (CDEMPRESA)
);

-- State registrations of a company. NRSERIECERTIFIC is the serial number (hex)
-- of the registration's digital certificate, NULL while none is installed;
-- IDTPAMBIENTENFE the NF-e environment: '1' production, '2' homologation.
CREATE TABLE INSCRESTAD (
    CDEMPRESA       VARCHAR(2)  NOT NULL,
    CDINSCESTA      VARCHAR(16) NOT NULL,
    NMREPRINSEST    VARCHAR(40) NOT NULL,
    NRSERIECERTIFIC VARCHAR(50),
    IDTPAMBIENTENFE VARCHAR(1)  NOT NULL,
    SGESTADO        VARCHAR(2)  NOT NULL,
    CONSTRAINT INSCRESTAD_PK PRIMARY KEY (CDEMPRESA, CDINSCESTA),
    CONSTRAINT INSCRESTAD_EMPRESA FOREIGN KEY (CDEMPRESA) REFERENCES EMPRESA (CDEMPRESA),
    CONSTRAINT INSCRESTAD_AMBIENTE CHECK (IDTPAMBIENTENFE IN ('1', '2'))
);

-- Document series of a company under a state and a municipal registration.
CREATE TABLE SERIENF (
    CDEMPRESA    VARCHAR(2)  NOT NULL,
    CDINSCESTA   VARCHAR(16) NOT NULL,
    CDINSCMUNI   VARCHAR(16) NOT NULL,
    CDSERIE      VARCHAR(5)  NOT NULL,
    DSSERIE      VARCHAR(20) NOT NULL,
    CDEXPSERIENF VARCHAR(10) NOT NULL,
    CONSTRAINT SERIENF_PK PRIMARY KEY (CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE),
    CONSTRAINT SERIENF_INSCRESTAD FOREIGN KEY (CDEMPRESA, CDINSCESTA)
        REFERENCES INSCRESTAD (CDEMPRESA, CDINSCESTA)
);

-- Companies operating at a branch besides the branch's own company, with the
-- registrations and default series they use there. The registrations may be
-- empty (a company linked to the branch before its registration was filed),
-- so they carry no foreign key.
CREATE TABLE EMPRCNTRFIL (
    CDEMPRESA  VARCHAR(2)  NOT NULL,
    CDFILIAL   VARCHAR(4)  NOT NULL,
    CDINSCESTA VARCHAR(16) NOT NULL,
    CDINSCMUNI VARCHAR(16) NOT NULL,
    CDSERIE    VARCHAR(5)  NOT NULL,
    CONSTRAINT EMPRCNTRFIL_PK PRIMARY KEY (CDEMPRESA, CDFILIAL, CDINSCESTA, CDINSCMUNI),
    CONSTRAINT EMPRCNTRFIL_EMPRESA FOREIGN KEY (CDEMPRESA) REFERENCES EMPRESA (CDEMPRESA),
    CONSTRAINT EMPRCNTRFIL_FILIAL FOREIGN KEY (CDFILIAL) REFERENCES FILIAL (CDFILIAL)
);

-- Customers. NRINSJURCLIE is the CNPJ (14 digits, IDTPIJURCLIE 'J') or the CPF
-- (11 digits, 'F'), digits only; one registration may belong to several
-- customer codes.
CREATE TABLE CLIENTE (
    CDCLIENTE    VARCHAR(21) NOT NULL,
    IDTPIJURCLIE VARCHAR(1)  NOT NULL,
    NRINSJURCLIE VARCHAR(20) NOT NULL,
    NMRAZSOCCLIE VARCHAR(50) NOT NULL,
    NMFANTCLIE   VARCHAR(50) NOT NULL,
    CONSTRAINT CLIENTE_PK PRIMARY KEY (CDCLIENTE)
);

-- The customer check looks a registration up together with a code, and the
-- search lists every customer in registration order: both are answered from
-- this index alone.
CREATE INDEX CLIENTE_INSJUR ON CLIENTE (NRINSJURCLIE, CDCLIENTE);

-- Suppliers, with the same registration convention as customers.
CREATE TABLE FORNECEDOR (
    CDFORNECED   VARCHAR(21) NOT NULL,
    IDTPIJURFORN VARCHAR(1)  NOT NULL,
    NRINSJURFORN VARCHAR(20) NOT NULL,
    NMRAZSOCFORN VARCHAR(40) NOT NULL,
    NMFANTFORN   VARCHAR(40) NOT NULL,
    CONSTRAINT FORNECEDOR_PK PRIMARY KEY (CDFORNECED)
);

-- The supplier check looks a registration up; the search lists suppliers by
-- company name, and the registration beside the name lets the check run over
-- the name index alone when a database prefers that order.
CREATE INDEX FORNECEDOR_INSJUR ON FORNECEDOR (NRINSJURFORN);
CREATE INDEX FORNECEDOR_RAZSOC ON FORNECEDOR (NMRAZSOCFORN, NRINSJURFORN);

-- Processing date of each branch, kept by the host. A branch without a row
-- works on the current day.
CREATE TABLE ZAVDATAPROC (
    CDFILIAL VARCHAR(4) NOT NULL,
    DTPROC   DATE       NOT NULL,
    CONSTRAINT ZAVDATAPROC_PK PRIMARY KEY (CDFILIAL),
    CONSTRAINT ZAVDATAPROC_FILIAL FOREIGN KEY (CDFILIAL) REFERENCES FILIAL (CDFILIAL)
);
